"""The Python binding (bindings/python/qbsocks.py) over the rows of
c_api_test.c, through the servers of linux_servers.py: each row writes the
settings, checks the route, connects, and checks the error class, the
reason, and on success the echo; then one failure of each other kind, a
deadline against a silent proxy, and threads connecting at once."""
import os
import resource
import socket
import threading
import time

import qbsocks

env = os.environ
USER, PASSWORD = env["QBSOCKS_MICROSOCKS_USER"], env["QBSOCKS_MICROSOCKS_PASSWORD"]
ECHO = int(env["QBSOCKS_ECHO_PORT"])
DANTE, AUTH = int(env["QBSOCKS_DANTE_PORT"]), int(env["QBSOCKS_MICROSOCKS_AUTH_PORT"])
failures = 0


def expect(ok, name, what, got=""):
    global failures
    if not ok:
        print(f"FAILED {name}: {what} (got {got!r})")
        failures += 1


def write_settings(port=0, version=0, user="", password=""):
    folder = os.path.join(env["XDG_CONFIG_HOME"], "qbsocks")
    os.makedirs(folder, exist_ok=True)
    path = os.path.join(folder, "user.reg")
    if os.path.exists(path):
        os.remove(path)
    if port:
        with open(path, "w") as out:
            out.write('Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Quillbrook\\Game\\'
                      f'Share\\Proxy]\n"ProxyEnable"=dword:1\n"SocksServer"="127.0.0.1"\n"SocksPort"=dword:{port:x}\n'
                      f'"SocksVersion"=dword:{version:x}\n"UserName"="{user}"\n"Password"="{password}"\n')


def echoes(connection, text=b"ping through qbsocks"):
    with connection:
        connection.sendall(text)
        return connection.recv(len(text), socket.MSG_WAITALL) == text


closed = socket.socket()  # bound and not listening: connects to it are refused
closed.bind(("127.0.0.1", 0))
CLOSED = closed.getsockname()[1]
silent = socket.create_server(("127.0.0.1", 0))  # listens and never answers
SILENT = silent.getsockname()[1]

# name, settings (port, version, user, password), host, target port, timeout, error, reason
rows = [
    ("direct", (), "127.0.0.1", ECHO, None, None, ""),
    ("SOCKS4 through Dante", (DANTE, 4), "127.0.0.1", ECHO, None, None, ""),
    ("SOCKS5 with a password", (AUTH, 5, USER, PASSWORD), "127.0.0.1", ECHO, 30, None, ""),
    ("proxy refuses the connection", (CLOSED, 5), "127.0.0.1", ECHO, None, qbsocks.ProxyUnreachable,
     "connection refused"),
    ("proxy refuses the password", (AUTH, 5, USER, "wrong"), "127.0.0.1", ECHO, None, qbsocks.ProxyFailed,
     "Username/password subnegotition failure"),
    ("SOCKS4 with a name", (DANTE, 4), "localhost", ECHO, None, qbsocks.BadTarget,
     "SOCKS4 can't resolve domain name, you should use IP address"),
    ("SOCKS5, neither dotted IPv4 nor a name", (DANTE, 5), "1.2.3.4.5", ECHO, None, qbsocks.BadTarget,
     "General name resolve failure"),
    ("direct to a refusing target", (), "127.0.0.1", CLOSED, None, qbsocks.TargetUnreachable,
     "connection refused"),
]

for name, settings, host, port, timeout, error, reason in rows:
    write_settings(*settings)
    route = f"SOCKS{settings[1]} proxy 127.0.0.1:{settings[0]}" if settings else "direct"
    route += f" as {settings[2]}" if len(settings) > 2 and settings[2] else ""
    expect(qbsocks.route() == route, name, route, qbsocks.route())
    try:
        echoed = echoes(qbsocks.create_connection((host, port), timeout))
        expect(error is None and echoed, name, "the echo", error)
    except qbsocks.Error as e:
        expect(type(e) is error and e.result == error.result and e.reason == reason, name, reason, e)

# A silent proxy: the deadline ends the wait long before the reply's own 10 s.
write_settings(SILENT, 5)
start = time.monotonic()
try:
    qbsocks.create_connection(("127.0.0.1", ECHO), timeout=3)
    expect(False, "deadline", "a failure")
except TimeoutError as e:
    took = time.monotonic() - start
    expect(isinstance(e, qbsocks.TimedOut) and e.reason == "timed out after 3000 ms waiting for the proxy's reply"
           and 3 <= took < 8,
           "deadline", "timed out after 3 s waiting for the reply", f"{e!r} after {took:.1f} s")

write_settings()
expect(qbsocks.version() == env["QBSOCKS_VERSION"], "version", env["QBSOCKS_VERSION"], qbsocks.version())
handle = qbsocks.ctypes.c_size_t()
expect(qbsocks._library().qbsocks_connect(None, 1, qbsocks.ctypes.byref(handle), None, 0) == qbsocks.BAD_ARGUMENT,
       "no host", "BAD_ARGUMENT")
limits, lowest_free = resource.getrlimit(resource.RLIMIT_NOFILE), os.open("/dev/null", os.O_RDONLY)
os.close(lowest_free)
resource.setrlimit(resource.RLIMIT_NOFILE, (lowest_free, limits[1]))  # no descriptor left for a socket
try:
    qbsocks.create_connection(("127.0.0.1", ECHO))
    expect(False, "no descriptors left", "a failure")
except qbsocks.NoSocket as e:
    expect(e.reason == "cannot create a socket: too many open sockets", "no descriptors left", "EMFILE", e)
finally:
    resource.setrlimit(resource.RLIMIT_NOFILE, limits)

# Threads at once through the proxy, half to the echo, half to a refusing
# target: each call keeps its own outcome and reason.
write_settings(AUTH, 5, USER, PASSWORD)
barrier, outcomes = threading.Barrier(8), []


def connect_from_thread(k):
    barrier.wait()
    for _ in range(5):
        try:
            outcomes.append(echoes(qbsocks.create_connection(("127.0.0.1", CLOSED if k % 2 else ECHO)), b"%d" % k))
        except qbsocks.ProxyFailed as e:
            outcomes.append(k % 2 == 1 and e.reason == "Connection refused")


threads = [threading.Thread(target=connect_from_thread, args=(k,)) for k in range(8)]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
expect(outcomes == [True] * 40, "threads", "40 right outcomes", outcomes)
write_settings()
print(f"{failures} failed")
raise SystemExit(failures != 0)
