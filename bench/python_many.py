"""Many connects at once from asyncio through one slow proxy: the Python
binding's open_connection beside python-socks's asyncio client (Debian's
python3-python-socks with python3-async-timeout, bench/setup.sh).

The proxy, a process of its own, answers SOCKS5 without authentication and
holds each of its two replies 100 ms (a proxy across a WAN), then echoes.
For each count, each client runs in a fresh process of its own: all its
connects started at once, each done when 4 bytes came back through the
proxy. The table gives the wall time from the first connect's start to the
last echo, the most threads the process had (its /proc/PID/task, looked at
every 2 ms), its peak memory (ru_maxrss), the connects that failed and its
CPU time (user and system, the interpreter's start included): medians of
--rounds runs, the clients taking turns.

    python_many.py [--counts 1000,5000,10000] [--hold-ms 100] [--rounds 3]
                   [--named LIBRARY [--lookup-ms 50]]

With --named, each client also goes through the same proxy given by a name
(proxy.qbsocks.test) whose every lookup takes --lookup-ms: LIBRARY is the
bench's stand-in resolver (libqbsocks_bench_slow_lookups.so, CMake's bench
preset), LD_PRELOADed into every client's process, through the address too,
which counts the lookups made (the table's last column).

Runs with Debian's Python (/usr/bin/python3) and the build's library in
QBSOCKS_LIBRARY; the binding reads the settings this script writes in a
folder of its own (XDG_CONFIG_HOME).
"""
import argparse
import asyncio
import os
import resource
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PING = b"ping"
CLIENTS = ["qbsocks", "python-socks"]
PROXY_NAME = "proxy.qbsocks.test"  # the name the stand-in resolver answers with 127.0.0.1
GOAL_MEMORY = 1.2  # the binding's peak at or under this share of python-socks's


class SlowProxy(asyncio.Protocol):
    """SOCKS5 without authentication, each of its two replies held `hold`
    seconds, then an echo: a protocol, not streams, so that the proxy's own
    work stays small beside the clients'."""

    def __init__(self, hold):
        self.hold, self.received, self.answered = hold, b"", 0

    def connection_made(self, transport):
        self.transport = transport

    def data_received(self, data):
        if self.answered == 2:
            return self.transport.write(data)
        self.received += data
        # The greeting (5, the number of methods, the methods), then a CONNECT to a dotted IPv4 address.
        whole = len(self.received) >= 2 and len(self.received) >= 2 + self.received[1] if self.answered == 0 else \
            len(self.received) >= 10
        if whole:
            self.answered += 1
            self.received = b""
            asyncio.get_running_loop().call_later(self.hold, self.answer, b"\5\0" if self.answered == 1 else
                                                  b"\5\0\0\1" + bytes(6))

    def answer(self, reply):
        if not self.transport.is_closing():
            self.transport.write(reply)


async def serve_slowly(hold):
    resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
    server = await asyncio.get_running_loop().create_server(lambda: SlowProxy(hold), "127.0.0.1", 0, backlog=65535)
    print(server.sockets[0].getsockname()[1], flush=True)
    await asyncio.sleep(float("inf"))


async def connect_all(client, count, proxy_host, proxy):
    """count connects at once, each through to the echo: wall time, failures."""
    if client == "qbsocks":
        sys.path.insert(0, os.path.join(HERE, "..", "bindings", "python"))
        import qbsocks

        def opened():
            return qbsocks.open_connection("127.0.0.1", 9)
    else:
        from python_socks.async_.asyncio import Proxy

        async def opened():
            connection = await Proxy.from_url(f"socks5://{proxy_host}:{proxy}").connect("127.0.0.1", 9, timeout=60)
            return await asyncio.open_connection(sock=connection)

    async def one():
        reader, writer = await opened()
        writer.write(PING)
        echoed = await reader.readexactly(len(PING))
        writer.close()
        return echoed == PING

    start = time.monotonic()
    outcomes = await asyncio.gather(*(one() for _ in range(count)), return_exceptions=True)
    took = time.monotonic() - start
    failed = [o for o in outcomes if o is not True]
    if failed:
        print(f"{client}: {len(failed)} failed, the first: {failed[0]!r}", file=sys.stderr)
    return took, len(failed)


def client_main(client, count, proxy_host, proxy):
    resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
    took, failed = asyncio.run(connect_all(client, count, proxy_host, proxy))
    usage = resource.getrusage(resource.RUSAGE_SELF)
    print(took, failed, usage.ru_maxrss, usage.ru_utime + usage.ru_stime, flush=True)


def measured(client, count, proxy_host, proxy, environment):
    """(wall s, failures, most threads, peak MiB, CPU s, lookups made) of one client's run in a process of its own;
    the lookups -1 without the stand-in resolver."""
    counted = environment.get("QBSOCKS_BENCH_LOOKUP_COUNT_FILE")
    if counted and os.path.exists(counted):
        os.remove(counted)
    child = subprocess.Popen([sys.executable, __file__, "--client", client, str(count), proxy_host, str(proxy)],
                             stdout=subprocess.PIPE, text=True, env=environment)
    most = 0
    while child.poll() is None:
        try:
            most = max(most, len(os.listdir(f"/proc/{child.pid}/task")))
        except FileNotFoundError:
            break
        time.sleep(0.002)
    took, failed, peak, cpu = child.stdout.read().split()
    child.wait()
    lookups = -1
    if counted:
        with open(counted, encoding="ascii") as count:
            lookups = int(count.read())
    return float(took), int(failed), most, int(peak) / 1024, float(cpu), lookups


def write_settings(home, server, port):
    """The binding's settings in home/qbsocks/user.reg: SOCKS5 at server:port."""
    settings = os.path.join(home, "qbsocks", "user.reg")
    os.makedirs(os.path.dirname(settings))
    with open(settings, "w", encoding="utf-8") as out:
        out.write('Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Quillbrook\\Game\\'
                  f'Share\\Proxy]\n"ProxyEnable"=dword:1\n"SocksServer"="{server}"\n"SocksPort"=dword:'
                  f'{port:x}\n"SocksVersion"=dword:5\n')


def main():
    if sys.argv[1:2] == ["--proxy"]:
        return asyncio.run(serve_slowly(float(sys.argv[2]) / 1000))
    if sys.argv[1:2] == ["--client"]:
        return client_main(sys.argv[2], int(sys.argv[3]), sys.argv[4], int(sys.argv[5]))
    parser = argparse.ArgumentParser()
    parser.add_argument("--counts", default="1000,5000,10000")
    parser.add_argument("--hold-ms", type=int, default=100)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--named", metavar="LIBRARY", help="the stand-in resolver: also through the proxy's name")
    parser.add_argument("--lookup-ms", type=int, default=50)
    args = parser.parse_args()
    resource.setrlimit(resource.RLIMIT_NOFILE, (resource.getrlimit(resource.RLIMIT_NOFILE)[1],) * 2)
    with tempfile.TemporaryDirectory(prefix="python-many-") as home:
        proxy = subprocess.Popen([sys.executable, __file__, "--proxy", str(args.hold_ms)], stdout=subprocess.PIPE,
                                 text=True)
        try:
            port = int(proxy.stdout.readline())
            ways = {"address": "127.0.0.1"}
            if args.named:
                ways["name"] = PROXY_NAME
            environments = {}
            for way, server in ways.items():
                write_settings(os.path.join(home, way), server, port)
                environments[way] = dict(os.environ, XDG_CONFIG_HOME=os.path.join(home, way))
                if args.named:  # through the address too, so that both run alike
                    environments[way].update(LD_PRELOAD=os.path.abspath(args.named),
                                             QBSOCKS_BENCH_LOOKUP_NAME=PROXY_NAME,
                                             QBSOCKS_BENCH_LOOKUP_MS=str(args.lookup_ms),
                                             QBSOCKS_BENCH_LOOKUP_COUNT_FILE=os.path.join(home, "lookups"))
            named = " | proxy given by" if args.named else ""
            print(f"| connects at once | client{named} | wall, s | most threads | peak memory, MiB | failed | CPU, s"
                  + (" | lookups made |" if args.named else " |"))
            print("|---:|---" + ("|---" if args.named else "") + "|---:|---:|---:|---:|---:|" +
                  ("---:|" if args.named else ""))
            rows = {}
            runs_of = [(client, way) for client in CLIENTS for way in ways]
            for count in map(int, args.counts.split(",")):
                runs = {run: [] for run in runs_of}
                for round_ in range(args.rounds):  # the runs take turns, the first changing every round
                    shift = round_ % len(runs_of)
                    for client, way in runs_of[shift:] + runs_of[:shift]:
                        runs[client, way].append(measured(client, count, ways[way], port, environments[way]))
                for client, way in runs_of:  # the median of each figure; failures, threads, lookups the most of any
                    figures = list(zip(*runs[client, way]))
                    took, _, _, memory, cpu, _ = (statistics.median(figure) for figure in figures)
                    failed, threads, lookups = (max(figures[i]) for i in (1, 2, 5))
                    rows[count, client, way] = took, failed, threads, memory, lookups
                    given = ""
                    if args.named:
                        given = f" | {way}" + (f", {args.lookup_ms} ms lookups" if way == "name" else "")
                    print(f"| {count:,} | {client}{given} | {took:.2f} | {threads} | {memory:.0f} | {failed} | "
                          f"{cpu:.2f} |" + (f" {lookups} |" if args.named else ""), flush=True)
        finally:
            proxy.kill()
            proxy.wait()
    print("\n| connects at once | all connected | wall <= python-socks's | one thread | memory <= "
          f"{GOAL_MEMORY} python-socks's |")
    print("|---:|---|---|---|---|")
    for count in sorted({count for count, _, _ in rows}):
        ours, theirs = rows[count, "qbsocks", "address"], rows[count, "python-socks", "address"]
        met = [ours[1] == 0, ours[0] <= theirs[0], ours[2] == 1, ours[3] <= GOAL_MEMORY * theirs[3]]
        print(f"| {count:,} | " + " | ".join("yes" if m else "NO" for m in met) + " |")
    if args.named:
        print(f"\nThrough the name ({args.lookup_ms} ms lookups) over through the address, and the binding beside "
              "python-socks through the name:\n")
        print("| connects at once | qbsocks name/address wall | python-socks name/address wall | qbsocks lookups "
              "| python-socks lookups | qbsocks wall/python-socks's, by name |")
        print("|---:|---:|---:|---:|---:|---:|")
        for count in sorted({count for count, _, _ in rows}):
            ratio = {client: rows[count, client, "name"][0] / rows[count, client, "address"][0] for client in CLIENTS}
            print(f"| {count:,} | {ratio['qbsocks']:.2f} | {ratio['python-socks']:.2f} | "
                  f"{rows[count, 'qbsocks', 'name'][4]} | {rows[count, 'python-socks', 'name'][4]} | "
                  f"{rows[count, 'qbsocks', 'name'][0] / rows[count, 'python-socks', 'name'][0]:.2f} |")


if __name__ == "__main__":
    main()
