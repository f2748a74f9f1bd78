"""The Python binding over c_api_test.c's rows (under linux_servers.py), a
failure of each kind with its reason, the deadline, and threads at once."""
import concurrent.futures
import os
import resource
import socket
import threading
import time

import qbsocks

env, failures = os.environ, []
USER, PASSWORD, ECHO = env["QBSOCKS_MICROSOCKS_USER"], env["QBSOCKS_MICROSOCKS_PASSWORD"], int(env["QBSOCKS_ECHO_PORT"])
DANTE, AUTH = int(env["QBSOCKS_DANTE_PORT"]), int(env["QBSOCKS_MICROSOCKS_AUTH_PORT"])


def expect(ok, name, got=""):
    if not ok:
        print(f"FAILED {name} (got {got!r})")
        failures.append(name)


def write_settings(port=0, version=0, user="", password=""):
    path = os.path.join(env["XDG_CONFIG_HOME"], "qbsocks", "user.reg")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as out:
        out.write('Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Quillbrook\\Game\\Share\\'
                  f'Proxy]\n"ProxyEnable"=dword:{int(port > 0)}\n"SocksServer"="127.0.0.1"\n"SocksPort"=dword:'
                  f'{port:x}\n"SocksVersion"=dword:{version:x}\n"UserName"="{user}"\n"Password"="{password}"\n')


def outcome(address, timeout, text=b"ping through qbsocks"):  # True when the bytes came back, or the failure
    try:
        with qbsocks.create_connection(address, timeout) as connection:
            connection.sendall(text)
            return connection.recv(len(text), socket.MSG_WAITALL) == text
    except qbsocks.Error as e:
        return e


closed, silent = socket.socket(), socket.create_server(("127.0.0.1", 0))  # refuses; accepts and never answers
closed.bind(("127.0.0.1", 0))
CLOSED, SILENT = closed.getsockname()[1], silent.getsockname()[1]
rows = [  # name, settings (port, version, user, password), host, port, timeout, error, reason
    ("direct", (), "127.0.0.1", ECHO, None, None, ""),
    ("SOCKS4 through Dante", (DANTE, 4), "127.0.0.1", ECHO, None, None, ""),
    ("SOCKS5 with a password", (AUTH, 5, USER, PASSWORD), "127.0.0.1", ECHO, 30, None, ""),
    ("proxy refuses", (CLOSED, 5), "127.0.0.1", ECHO, None, qbsocks.ProxyUnreachable,
     f"cannot reach the proxy 127.0.0.1:{CLOSED}: connection refused"),
    ("wrong password", (AUTH, 5, USER, "x"), "127.0.0.1", ECHO, None, qbsocks.ProxyFailed,
     "Username/password subnegotition failure"),
    ("SOCKS4 with a name", (DANTE, 4), "localhost", ECHO, None, qbsocks.BadTarget,
     "SOCKS4 can't resolve domain name, you should use IP address"),
    ("silent proxy, deadline", (SILENT, 5), "127.0.0.1", ECHO, 3, qbsocks.TimedOut,
     "timed out after 3000 ms waiting for the proxy's reply"),
    ("refusing target", (), "127.0.0.1", CLOSED, None, qbsocks.TargetUnreachable, "connection refused"),
]
for name, settings, host, port, timeout, error, reason in rows:
    write_settings(*settings)
    route = f"SOCKS{settings[1]} proxy 127.0.0.1:{settings[0]}" if settings else "direct"
    expect(qbsocks.route() == route + (f" as {USER}" if len(settings) > 2 else ""), name, qbsocks.route())
    start, got = time.monotonic(), outcome((host, port), timeout)
    expect(got is True if error is None else type(got) is error and (got.result, got.reason) == (error.result, reason),
           name, got)
    expect(not error or not timeout or timeout <= time.monotonic() - start < 8, name, time.monotonic() - start)

write_settings()
expect(qbsocks.version() == env["QBSOCKS_VERSION"], "version", qbsocks.version())
expect(qbsocks._library().qbsocks_connect(None, 1, None, None, 0) == qbsocks.BAD_ARGUMENT, "no host")
limits, lowest_free = resource.getrlimit(resource.RLIMIT_NOFILE), os.open("/dev/null", os.O_RDONLY)
os.close(lowest_free)
resource.setrlimit(resource.RLIMIT_NOFILE, (lowest_free, limits[1]))  # no descriptor left for a socket
got = outcome(("127.0.0.1", ECHO), None)
resource.setrlimit(resource.RLIMIT_NOFILE, limits)
expect(type(got) is qbsocks.NoSocket and got.reason == "cannot create a socket: too many open sockets", "EMFILE", got)

write_settings(AUTH, 5, USER, PASSWORD)
barrier = threading.Barrier(8)


def outcomes_of_thread(k):
    """Threads at once, half to the echo, half to a refusing target: each
    call keeps its own outcome and reason."""
    barrier.wait()
    return [outcome(("127.0.0.1", CLOSED if k % 2 else ECHO), None, b"%d" % k) for _ in range(5)]


with concurrent.futures.ThreadPoolExecutor(8) as pool:
    outcomes = list(pool.map(outcomes_of_thread, range(8)))
expect([[o if o is True else o.reason for o in five] for five in outcomes] ==
       [[True] * 5, ["Connection refused"] * 5] * 4, "threads", outcomes)
print(f"{len(failures)} failed")
raise SystemExit(bool(failures))
