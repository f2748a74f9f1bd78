"""The Python binding's SOCKS5 connect beside what a Python user would pick
instead: python-socks (its sync Proxy) and PySocks (socks.create_connection),
Debian's packages (bench/setup.sh). qbsocks_bench runs it with Debian's
Python, the ports of its microsocks and echo target, and the build's
library in QBSOCKS_LIBRARY; the binding reads the settings the bench wrote,
the peers are told the proxy.

Each sample runs from the call to a connected socket that has sent 4 bytes
to the echo target and read them back; closing is outside it. The clients
take turns, the order rotating every round; the table gives medians.

    python_peers.py --proxy PORT --target PORT [--connects N]
"""
import argparse
import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "bindings", "python"))

import python_socks.sync  # noqa: E402
import qbsocks  # noqa: E402
import socks  # noqa: E402

GOAL = 0.9  # the binding's median at or below this share of the fastest peer's
PING = b"ping"


def clients(proxy, target):
    """Each client's name and its connect to the echo target through the proxy."""
    address = ("127.0.0.1", target)
    url = f"socks5://127.0.0.1:{proxy}"
    return [
        ("qbsocks (binding)", lambda: qbsocks.create_connection(address)),
        ("python-socks", lambda: python_socks.sync.Proxy.from_url(url).connect(*address)),
        ("PySocks", lambda: socks.create_connection(address, proxy_type=socks.SOCKS5, proxy_addr="127.0.0.1",
                                                    proxy_port=proxy)),
    ]


def echo_time(connect):
    """µs from the call to the 4 bytes echoed; the socket is closed after."""
    start = time.perf_counter_ns()
    connection = connect()
    connection.sendall(PING)
    echoed = b""
    while len(echoed) < len(PING):
        part = connection.recv(len(PING) - len(echoed))
        if not part:
            break
        echoed += part
    took = time.perf_counter_ns() - start
    connection.close()
    if echoed != PING:
        sys.exit(f"python_peers.py: the echo came back as {echoed!r}")
    return took / 1000


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--proxy", type=int, required=True)
    parser.add_argument("--target", type=int, required=True)
    parser.add_argument("--connects", type=int, default=2000)
    args = parser.parse_args()
    expected = f"SOCKS5 proxy 127.0.0.1:{args.proxy}"
    if qbsocks.route() != expected:
        sys.exit(f"python_peers.py: the settings say {qbsocks.route()!r}, not {expected!r}")
    named = clients(args.proxy, args.target)
    for _, connect in named:  # the first of each (imports, the settings' parse) outside the samples
        echo_time(connect)
    samples = [[] for _ in named]
    for round_ in range(args.connects):
        for k in range(len(named)):
            which = (round_ + k) % len(named)
            samples[which].append(echo_time(named[which][1]))
    medians = [statistics.median(one) for one in samples]
    ratio = medians[0] / min(medians[1:])
    print("| measurement | " + " | ".join(name for name, _ in named) + " | binding/fastest peer | goal | met |")
    print("|---|" + "---:|" * len(named) + "---:|---|---|")
    print("| SOCKS5 connect and 4-byte echo, median us | " + " | ".join(f"{m:.1f}" for m in medians) +
          f" | {ratio:.3f} | <= {GOAL} fastest peer | {'yes' if ratio <= GOAL else 'NO'} |")
    print(f"\nPython {sys.version.split()[0]}, libqbsocks {qbsocks.version()}, python-socks "
          f"{python_socks.__version__}, PySocks {socks.__version__}; {args.connects} samples of each.")


if __name__ == "__main__":
    main()
