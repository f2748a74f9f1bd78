"""The Python binding over c_api_test.c's rows (under linux_servers.py), a
failure of each kind with its reason, the deadline, threads at once, an
interrupt at every step, the helper threads of the main thread's connects,
socket.create_connection's arguments, and where Windows would load
qbsocks.dll from."""
import asyncio
import asyncio.proactor_events
import atexit
import concurrent.futures
import copy
import errno
import gc
import http.client
import http.server
import inspect
import itertools
import logging
import os
import pickle
import pwd
import re
import resource
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time
from urllib.parse import quote

import qbsocks

env, failures = os.environ, []
USER, PASSWORD, ECHO = env["QBSOCKS_MICROSOCKS_USER"], env["QBSOCKS_MICROSOCKS_PASSWORD"], int(env["QBSOCKS_ECHO_PORT"])
DANTE, AUTH = int(env["QBSOCKS_DANTE_PORT"]), int(env["QBSOCKS_MICROSOCKS_AUTH_PORT"])
MICROSOCKS = int(env["QBSOCKS_MICROSOCKS_PORT"])
shutil.rmtree(os.path.join(env["XDG_CONFIG_HOME"], "qbsocks"), ignore_errors=True)  # what a run cut short left


def expect(ok, name, got=""):
    if not ok:
        print(f"FAILED {name} (got {got!r})")
        failures.append(name)


def write_settings(port=0, version=0, user="", password=""):
    path = os.path.join(env["XDG_CONFIG_HOME"], "qbsocks", "user.reg")
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as out:
        out.write('Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Quillbrook\\Game\\Share\\'
                  f'Proxy]\n"ProxyEnable"=dword:{int(port > 0)}\n"SocksServer"="127.0.0.1"\n"SocksPort"=dword:'
                  f'{port:x}\n"SocksVersion"=dword:{version:x}\n"UserName"="{user}"\n"Password"="{password}"\n')


def outcome(address, timeout, text=b"ping through qbsocks", cancel=None):  # True when the bytes came back, or the failure
    try:
        with qbsocks.create_connection(address, timeout, cancel=cancel) as connection:
            connection.sendall(text)
            return connection.recv(len(text), socket.MSG_WAITALL) == text
    except qbsocks.Error as e:
        return e


async def outcome_async(address, timeout, text=b"ping", streams=False):  # outcome's, by the asyncio forms
    try:
        if streams:
            reader, writer = await qbsocks.open_connection(*address, timeout=timeout)
            writer.write(text)
            return await reader.readexactly(len(text)) == text and not writer.close()
        with await qbsocks.create_connection_async(address, timeout) as connection:
            await asyncio.get_running_loop().sock_sendall(connection, text)
            return await asyncio.get_running_loop().sock_recv(connection, 99) == text
    except qbsocks.Error as e:
        return e


closed, silent = socket.socket(), socket.create_server(("127.0.0.1", 0))  # refuses; accepts and never answers
closed.bind(("127.0.0.1", 0))
CLOSED, SILENT = closed.getsockname()[1], silent.getsockname()[1]
Q = qbsocks
rows = [  # name, settings (port, version, user, password), host, port, timeout, error, reason (a pattern), facts (step
    # or a set of them, cause, proxy code, system error), errno; ALSO: the stdlib's classes it also is, as socket's would be
    ("direct", (), "127.0.0.1", ECHO, None, None, "", (), None),
    ("SOCKS4 through Dante", (DANTE, 4), "127.0.0.1", ECHO, None, None, "", (), None),
    ("SOCKS5 with a password", (AUTH, 5, USER, PASSWORD), "127.0.0.1", ECHO, 30, None, "", (), None),
    ("a user name beyond ASCII", (MICROSOCKS, 5, "Jos\u00e9", "x"), "127.0.0.1", ECHO, 30, None, "", (), None),
    ("proxy refuses", (CLOSED, 5), "127.0.0.1", ECHO, None, Q.ProxyUnreachable,
     f"cannot reach the proxy 127.0.0.1:{CLOSED}: connection refused",
     (Q.STEP_PROXY_CONNECT, Q.CAUSE_SYSTEM_ERROR, None, 10061), errno.ECONNREFUSED),
    ("wrong password", (AUTH, 5, USER, "x"), "127.0.0.1", ECHO, None, Q.ProxyFailed,
     "Username/password subnegotition failure", (Q.STEP_AUTH, Q.CAUSE_REFUSED, 2, 0), None),
    ("SOCKS4 with a name", (DANTE, 4), "localhost", ECHO, None, Q.BadTarget,
     "SOCKS4 can't resolve domain name, you should use IP address", (Q.STEP_REQUEST, Q.CAUSE_BAD_TARGET, None, 0), None),
    ("silent proxy, deadline", (SILENT, 5), "127.0.0.1", ECHO, 3, Q.TimedOut,
     "timed out after 3000 ms waiting for the proxy's reply", (Q.STEP_METHOD, Q.CAUSE_TIMED_OUT, None, 0), None),
    ("silent proxy, under a millisecond", (SILENT, 5), "127.0.0.1", ECHO, 0.0004, Q.TimedOut, "timed out after 1 ms .+",
     (set(range(Q.STEP_METHOD + 1)), Q.CAUSE_TIMED_OUT, None, 0), None),
    ("refusing target", (), "127.0.0.1", CLOSED, None, Q.TargetUnreachable, "connection refused",
     (Q.STEP_TARGET_CONNECT, Q.CAUSE_SYSTEM_ERROR, None, 10061), errno.ECONNREFUSED),
    ("a name that cannot be, direct", (), "x" * 64 + ".invalid", ECHO, None, Q.TargetUnreachable, "host name not found",
     (Q.STEP_TARGET_LOOKUP, Q.CAUSE_SYSTEM_ERROR, None, 11001), socket.EAI_NONAME),
]
ALSO = {"silent proxy, deadline": {socket.timeout, TimeoutError}, "refusing target": {ConnectionRefusedError},
        "silent proxy, under a millisecond": {socket.timeout, TimeoutError}, "a name that cannot be, direct": {
            socket.gaierror}}


def kept(e):  # what a pickle or copy of an exception must keep
    return type(e), e.args, e.__dict__, e.errno, e.strerror, str(e)


def fits(got, name, error, reason, facts, number):  # the row's outcome, also its classes, kept when pickled or copied
    if error is None:
        return got is True
    also = {kind for kind in (ConnectionRefusedError, socket.timeout, TimeoutError, socket.gaierror)
            if isinstance(got, kind)}
    return (isinstance(got, error) and got.result == error.result and re.fullmatch(reason, got.reason) and
            also == ALSO.get(name, set()) and kept(pickle.loads(pickle.dumps(got))) == kept(got) == kept(copy.copy(got))
            and all(g in f if isinstance(f, set) else g == f for f, g in zip(facts + (number,), (
                got.step, got.cause, got.proxy_code, got.system_error, got.errno))))

WATCHED, watches_sockets = (True, False), Q._watches_sockets

for name, settings, host, port, timeout, error, reason, facts, number in rows:
    row = name, error, reason, facts, number
    write_settings(*settings)
    route = f"SOCKS{settings[1]} proxy 127.0.0.1:{settings[0]}" if settings else "direct"
    expect(qbsocks.route() == route + (f" as {settings[2]}" if len(settings) > 2 else ""), name, qbsocks.route())
    start, got = time.monotonic(), outcome((host, port), timeout)
    expect(fits(got, *row), name, (got, getattr(got, "__dict__", 0)))
    expect(not error or not timeout or timeout <= time.monotonic() - start < 8, name, time.monotonic() - start)
    for watched in WATCHED:  # asyncio on a loop that watches sockets, and on one that cannot (the callback form)
        Q._watches_sockets = lambda loop_class: watched
        got_async = asyncio.run(outcome_async((host, port), timeout))
        expect(type(got_async) is type(got) and fits(got_async, *row), f"{name}, asyncio's socket {watched}", got_async)
    Q._watches_sockets = watches_sockets
# Every class the binding raises, made as it makes them: pickled and copied with its facts.
for error in {*Q._ERRORS.values(), *Q._TARGET_ERRORS.values(), Q.TargetLookupFailed, Q.NoLibrary, Q.Error}:
    made = error("why", error.result, Q.STEP_TARGET_LOOKUP, Q.CAUSE_SYSTEM_ERROR, 91, 11001)
    expect(kept(pickle.loads(pickle.dumps(made))) == kept(made) == kept(copy.copy(made)), f"{error} pickled", made)
# Result, Step and Cause as qbsocks.h numbers them (the results come before QBSOCKS_REASON_SIZE).
header = open(os.path.join(os.path.dirname(__file__), "../../capi/qbsocks.h")).read()
defined = r"#define QBSOCKS_(\w+) +(?:\\\s+)?(\d+)\b"
numbers = {name: int(number) for name, number in re.findall(defined, header)}
expect(dict(re.findall(defined, header[:header.index("QBSOCKS_REASON_SIZE")])) == {m.name: str(m.value) for m in Q.Result}
       and all({k: v for k, v in numbers.items() if k.startswith(kind.__name__.upper() + "_")} ==
               {f"{kind.__name__.upper()}_{m.name}": m for m in kind} for kind in (Q.Step, Q.Cause)),
       "Result, Step and Cause as qbsocks.h numbers them", numbers)
if sys.argv[1:] == ["rows"]:  # the rows alone, under another Python
    raise SystemExit(bool(failures))

# pip install of bindings/python, offline, into a fresh venv of the Python with Debian's python3-requests and
# python3-socks, carrying the build's library (QBSOCKS_LIBRARY, which is not set there): the package's
# metadata, proxy_url() per route and requests through it as docs/api.md shows it (through a refusing proxy the
# fetch fails: it went through the proxy).
USE = """import importlib.metadata, os, qbsocks, requests, sys
try:
    url = qbsocks.proxy_url()
    print(requests.get(sys.argv[1], proxies={"http": url, "https": url}, timeout=10).status_code, url,
          qbsocks.__version__, importlib.metadata.version("qbsocks"), qbsocks.__file__.startswith(sys.prefix),
          os.path.isfile(os.path.join(os.path.dirname(qbsocks.__file__), "py.typed")))
except (qbsocks.SettingsUnreadable, requests.ConnectionError) as e:
    print(type(e).__name__, getattr(e, "reason", ""))"""
python = "/usr/bin/python3"  # Debian's, which has them (scripts/setup-steps.sh)
web, settings_file = http.server.HTTPServer(("127.0.0.1", 0), http.server.SimpleHTTPRequestHandler), os.path.join(
    env["XDG_CONFIG_HOME"], "qbsocks", "user.reg")
threading.Thread(target=web.serve_forever, daemon=True).start()
venv, package = os.path.join(env["XDG_CONFIG_HOME"], "venv"), f"{env['QBSOCKS_VERSION']} {env['QBSOCKS_VERSION']} True True"
venv_env = {k: v for k, v in env.items() if k.lower() not in ("pythonpath", "qbsocks_library", "no_proxy")}
# --clear: afresh at every run, whatever an earlier one left.
subprocess.run([python, "-m", "venv", "--clear", "--without-pip", "--system-site-packages", venv], check=True)
subprocess.run([sys.executable, "-m", "pip", "--python", os.path.join(venv, "bin", "python"), "install", "-q", "--no-index",
                "-C", f"library={env['QBSOCKS_LIBRARY']}", "-C", "platform=linux_x86_64",
                os.path.join(os.path.dirname(__file__), "..", "..", "bindings", "python")], check=True)
for settings, expected in (
        ((), f"200 None {package}"), ((DANTE, 4, "bob"), f"200 socks4://127.0.0.1:{DANTE} {package}"),
        ((AUTH, 5, USER, PASSWORD), f"200 socks5h://{quote(USER, safe='')}:{quote(PASSWORD, safe='')}@127.0.0.1:"
                                    f"{AUTH} {package}"), ((CLOSED, 5), "ConnectionError"),
        (None, "SettingsUnreadable Cannot read the proxy settings: the store cannot be read in full")):
    write_settings(*settings or ())
    if settings is None:  # a folder in the file's stead: unreadable
        os.remove(settings_file) or os.mkdir(settings_file)
    got = subprocess.run([os.path.join(venv, "bin", "python"), "-c", USE, f"http://127.0.0.1:{web.server_port}/"],
                         capture_output=True, text=True, cwd=venv, env=venv_env)
    expect(got.stdout.strip() == expected, "the package in a venv: proxy_url(), requests through it", got)
os.rmdir(settings_file)
web.shutdown()

# The build's wheel as a user installs it: pip install of the file alone, offline, into a fresh venv of the oldest
# CPython 3.8 or later here that is not Debian's (pyenv's: the user's, HOME being the test's), and of Debian's; then a
# connect through the proxy, by the library inside the wheel, and a failure with the library's facts.
CONNECT = """import importlib.metadata, qbsocks, socket, sys
with qbsocks.create_connection(("127.0.0.1", int(sys.argv[1])), 10) as s:
    print(s.sendall(b"wheel"), s.recv(5, socket.MSG_WAITALL), importlib.metadata.version("qbsocks"),
          qbsocks._library()._name.startswith(sys.prefix))
try:
    qbsocks.create_connection(("127.0.0.1", int(sys.argv[2])), 10)
except qbsocks.ProxyFailed as e:
    print(e.reason, e.step, e.cause, e.proxy_code)"""
pyenv = os.path.join(env.get("PYENV_ROOT") or pwd.getpwuid(os.getuid()).pw_dir + "/.pyenv", "versions")
cpythons = sorted((tuple(map(int, v.split("."))), f"{pyenv}/{v}/bin/python3") for v in (
    os.listdir(pyenv) if os.path.isdir(pyenv) else ()) if re.fullmatch(r"3\.([89]|[1-9]\d)\.\d+", v))
if not cpythons:
    print(f"SKIPPED the wheel in a venv of a CPython that is not Debian's: none 3.8 or later in {pyenv}")
for _, python in cpythons[:1]:  # the rows under the oldest, where socket.timeout is not yet TimeoutError
    got = subprocess.run([python, __file__, "rows"], capture_output=True, text=True)
    expect(got.returncode == 0, f"the rows under {python}", got.stdout + got.stderr)
for python in [p for _, p in cpythons[:1]] + ["/usr/bin/python3"]:
    subprocess.run([python, "-m", "venv", "--clear", venv], check=True)
    subprocess.run([f"{venv}/bin/python", "-m", "pip", "install", "-q", "--no-index", env["QBSOCKS_WHEEL"]], env=venv_env)
    write_settings(AUTH, 5, USER, PASSWORD)
    got = subprocess.run([f"{venv}/bin/python", "-c", CONNECT, str(ECHO), str(CLOSED)], capture_output=True, text=True,
                         env=venv_env)
    expect(got.stdout == f"None b'wheel' {env['QBSOCKS_VERSION']} True\nConnection refused {Q.STEP_REPLY} "
           f"{Q.CAUSE_REFUSED} 5\n", f"the wheel in a venv of {python}", got)

# cmake --install --prefix <the user's base> (~/.local): the Python CMake found imports the package from there, and
# it loads the prefix's library, with no PYTHONPATH, QBSOCKS_LIBRARY or LD_LIBRARY_PATH.
userbase = os.path.join(env["XDG_CONFIG_HOME"], "userbase")
shutil.rmtree(userbase, ignore_errors=True)
for component in ("qbsocks", "python"):
    subprocess.run([env["QBSOCKS_CMAKE"], "--install", env["QBSOCKS_BUILD"], "--prefix", userbase, "--component",
                    component], env=dict(venv_env, PYTHONUSERBASE=userbase), check=True, stdout=subprocess.DEVNULL)
got = subprocess.run([sys.executable, "-c", "import qbsocks; print(qbsocks.__file__, qbsocks._library()._name)"],
                     env=dict(venv_env, PYTHONUSERBASE=userbase), cwd=userbase, capture_output=True, text=True)
expect(re.fullmatch(f"{userbase}/lib/python3.*-packages/qbsocks/__init__.py {userbase}/lib/python3.*/libqbsocks.so.1\n",
                    got.stdout) and os.path.realpath(got.stdout.split()[1]).startswith(userbase + "/lib/libqbsocks"),
       "cmake --install --prefix ~/.local: the package where Python looks, with the prefix's library", got)

write_settings()
expect(qbsocks.version() == qbsocks.__version__ == env["QBSOCKS_VERSION"], "version", qbsocks.version())
expect(qbsocks._library().qbsocks_connect(None, 1, None, None, 0) == qbsocks.BAD_ARGUMENT, "no host")
limits, lowest_free = resource.getrlimit(resource.RLIMIT_NOFILE), os.open("/dev/null", os.O_RDONLY)
os.close(lowest_free)
resource.setrlimit(resource.RLIMIT_NOFILE, (lowest_free, limits[1]))  # no descriptor left for a socket
got = outcome(("127.0.0.1", ECHO), None)
resource.setrlimit(resource.RLIMIT_NOFILE, limits)
expect(type(got) is qbsocks.NoSocket and got.reason == "cannot create a socket: too many open sockets", "EMFILE", got)

def cancel_in_the_reply_wait(cancel, proxy):
    """Cancels once the SOCKS4 request is there: the connect waits for the reply."""
    accepted = proxy.accept()[0]
    accepted.recv(9)
    cancel.cancel()
    cancel.cancel()  # twice is safe
    return accepted, time.monotonic()


silent4 = socket.create_server(("127.0.0.1", 0))
write_settings(silent4.getsockname()[1], 4)
before, got = sorted(os.listdir("/proc/self/fd")), []
with concurrent.futures.ThreadPoolExecutor(1) as pool, qbsocks.Cancel() as cancel:
    canceller = pool.submit(cancel_in_the_reply_wait, cancel, silent4)
    for _ in range(2):  # the second: cancelled before it starts
        error = outcome(("127.0.0.1", ECHO), None, cancel=cancel)
        got.append(isinstance(error, Q.Cancelled) and (error.step, time.monotonic() - canceller.result()[1] < 5))
    canceller.result()[0].close()
cancel.cancel()  # closed: changes nothing
# The request is there once sent; the connect may not yet have begun the reply wait when the cancel comes.
expect(got[0] in [(Q.STEP_REQUEST, True), (Q.STEP_REPLY, True)] and got[1] == (Q.STEP_NONE, True) and
       sorted(os.listdir("/proc/self/fd")) == before,
       "cancelled from another thread in the reply wait, and before the start", (got, os.listdir("/proc/self/fd")))

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


async def at_once_with_a_timer(count, timeout, wait, expected):  # count connects at once, each in asyncio.wait_for(
    loop, lags, threads = asyncio.get_running_loop(), [0.0], [1]  # , wait): their outcomes, the largest lag of a 50 ms
    connects = [asyncio.ensure_future(asyncio.wait_for(outcome_async(  # timer meanwhile and the most threads
        ("127.0.0.1", ECHO), timeout, b"%4d" % k, True), wait)) for k in range(count)]
    gathered = asyncio.gather(*connects, return_exceptions=True)
    while not gathered.done():
        planned = loop.time() + 0.05
        await asyncio.sleep(0.05)
        lags.append(loop.time() - planned)
        threads.append(len(os.listdir("/proc/self/task")))
        if expected == "half cancelled":  # all under way: the even ones cancelled (a few may be through already)
            expected = [c.cancel() for c in connects[::2]]
        if expected == "loop closed":
            return [], max(lags), max(threads)
    return [o is True or type(o).__name__ for o in gathered.result()], max(lags), max(threads)


def at_once(count, timeout, wait, expected):  # at_once_with_a_timer's, on a loop closed once all are under way
    if expected != "loop closed":
        return asyncio.run(at_once_with_a_timer(count, timeout, wait, expected))
    loop = asyncio.new_event_loop()
    got = loop.run_until_complete(at_once_with_a_timer(count, timeout, wait, expected))
    loop.close()  # with the connects pending, whose tasks are destroyed (and say so, unheard) when collected
    logging.getLogger("asyncio").disabled = True
    return got


def as_expected(got, expected):
    if expected == "half cancelled":
        return {*got[::2]} <= {True, "CancelledError"} and "CancelledError" in got and {*got[1::2]} == {True}
    return got == ([] if expected == "loop closed" else [expected] * len(got))


# The bench's proxy, which holds each of its two answers 100 ms, as a proxy across a WAN does.
slow = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__), "../../bench/python_many.py"), "--proxy",
                         "100"], stdout=subprocess.PIPE, text=True)
atexit.register(slow.kill)  # whatever ends the test
SLOW = int(slow.stdout.readline())
resource.setrlimit(resource.RLIMIT_NOFILE, (min(limits[1], 4096), limits[1]))  # 1,000 sockets and the test's own
# settings, connects at once, the library's timeout, asyncio.wait_for's, each one's outcome; by each driver, which
# starts no thread (the callback form's: the library's one). A blocked loop lags a second per connect of the silent
# proxy's forty, a thread per connect shows, and a cancelled connect that goes on keeps its socket for 30 s.
for watched, (settings, count, timeout, wait, expected) in itertools.product(WATCHED, (
        ((MICROSOCKS, 5), 40, 30, None, True), ((SILENT, 5), 40, 1, None, "TimedOut"),
        ((SILENT, 5), 1, 30, 0.5, "TimeoutError"), ((SLOW, 5), 1000, 30, None, True),
        ((SLOW, 5), 1000, 30, None, "half cancelled"), ((SLOW, 5), 1000, 30, None, "loop closed"))):
    Q._watches_sockets = lambda loop_class: watched
    write_settings(*settings)
    before, start, threads = sorted(os.listdir("/proc/self/fd")), time.monotonic(), len(os.listdir("/proc/self/task"))
    got, lag, most = at_once(count, timeout, wait, expected)
    took = time.monotonic() - start
    while sorted(os.listdir("/proc/self/fd")) != before and time.monotonic() < start + 5:
        time.sleep(0.01)
    logging.getLogger("asyncio").disabled = gc.collect() and False
    print(f"asyncio, {count} at once ({expected}, the loop watching sockets {watched}): returned after {took:.3f} s, "
          f"the timer's largest lag {lag * 1000:.0f} ms, the most threads {most} (before: {threads}), the descriptors "
          f"as before after {time.monotonic() - start:.3f} s")
    expect(as_expected(got, expected) and lag <= max(0.25, count / 1000) and took < 5 and most <= threads + (
           not watched) and sorted(os.listdir("/proc/self/fd")) == before, f"asyncio, {count} at once: {expected}, "
           f"the loop never blocked, no thread per connect, no socket left ({watched})", (got, lag, took, most))
Q._watches_sockets = watches_sockets
resource.setrlimit(resource.RLIMIT_NOFILE, limits)
expect([Q._watches_sockets(kind) for kind in (asyncio.SelectorEventLoop, asyncio.proactor_events.BaseProactorEventLoop)]
       == [True, False], "the selector loop watches sockets, the proactor loop (Windows') not")
slow.kill()
slow.wait()


def interrupted(step):
    """A connect with KeyboardInterrupt raised at one bytecode step of the
    binding's, as Ctrl-C's or an alarm's handler raises it there."""
    steps = itertools.count()

    def trace(frame, event, arg):
        if frame.f_code.co_filename != qbsocks.__file__:
            return None
        frame.f_trace_opcodes = True
        if next(steps) == step:
            raise KeyboardInterrupt
        return trace
    try:
        sys.settrace(trace)
        qbsocks.create_connection(("127.0.0.1", ECHO)).close()
        return False
    except KeyboardInterrupt:
        pass
    finally:
        sys.settrace(None)
    deadline = time.monotonic() + 10  # a socket that comes on the helper closes then, not at the next connect
    while sorted(os.listdir("/proc/self/fd")) != before and time.monotonic() < deadline:
        time.sleep(0.01)
    return sorted(os.listdir("/proc/self/fd")) == before


write_settings(MICROSOCKS, 5)
before = sorted(os.listdir("/proc/self/fd"))
steps = sum(1 for _ in itertools.takewhile(interrupted, itertools.count()))
deadline = time.monotonic() + 10  # for connects left running on their threads to close their sockets
while sorted(os.listdir("/proc/self/fd")) != before and time.monotonic() < deadline:
    time.sleep(0.01)
expect(steps > 50 and sorted(os.listdir("/proc/self/fd")) == before, "an interrupt at every step leaves no socket",
       (steps, before, sorted(os.listdir("/proc/self/fd"))))

def answer_when_told(listener, told):  # a SOCKS5 proxy: Ctrl-C's SIGINT to the main thread once the greeting is
    peer = listener.accept()[0]  # there, the answers when told, then whether the client closed its socket
    peer.settimeout(10)
    peer.recv(4, socket.MSG_WAITALL)  # the methods: none, user name and password
    signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)
    told.wait()
    with peer:
        try:
            peer.sendall(b"\5\0")
            peer.recv(10, socket.MSG_WAITALL)
            peer.sendall(b"\5\0\0\1" + bytes(6))
            return peer.recv(1) == b""
        except ConnectionError:  # closed at the interrupt, before the answers
            return True


listener, told, was = socket.create_server(("127.0.0.1", 0)), threading.Event(), signal.signal(
    signal.SIGINT, signal.default_int_handler)  # Ctrl-C's KeyboardInterrupt, wherever the test runs
write_settings(listener.getsockname()[1], 5)
before = sorted(os.listdir("/proc/self/fd"))
with concurrent.futures.ThreadPoolExecutor(1) as pool:
    proxy, got = pool.submit(answer_when_told, listener, told), []
    try:
        outcome(("127.0.0.1", ECHO), None)
    except KeyboardInterrupt:
        got.append("interrupted")
    told.set()  # the socket comes now, after the wait was cut short, and no connect follows
    got += [proxy.result(), sorted(os.listdir("/proc/self/fd")) == before]
signal.signal(signal.SIGINT, was)
listener.close()
write_settings(MICROSOCKS, 5)
expect(got == ["interrupted", True, True], "Ctrl-C in the wait: a socket that comes afterwards closed at once", got)

# No library: a qbsocks.Error that says where it looked and how to provide one.
got = subprocess.run([sys.executable, "-c", "import qbsocks\ntry: qbsocks.route()\nexcept qbsocks.NoLibrary as e: "
                      "print(type(e).__mro__[1:3], e.reason)"], capture_output=True, text=True,
                     env=dict(env, QBSOCKS_LIBRARY="/nonexistent/libqbsocks.so.1"))
expect(got.stdout == "(<class 'qbsocks.Error'>, <class 'ConnectionError'>) cannot load the qbsocks library: /nonexistent"
       "/libqbsocks.so.1: cannot open shared object file: No such file or directory; looked for the file that "
       "QBSOCKS_LIBRARY names (/nonexistent/libqbsocks.so.1). Install the qbsocks wheel, which carries it (or the "
       "libqbsocks1 package), or set QBSOCKS_LIBRARY to its path\n", "no library", got)

connect, helpers = qbsocks._connect, set()  # the threads that run the main thread's connects, kept for the next
got = [outcome(("127.0.0.1", ECHO), None)]
threads = {int(task) for task in os.listdir("/proc/self/task")}
qbsocks._connect = lambda *arguments: helpers.add(threading.get_native_id()) or connect(*arguments)
got += [outcome(("127.0.0.1", ECHO), None) for _ in range(8)]
qbsocks._connect = connect
child, ended, deadline = os.fork(), (0, 0), time.monotonic() + 10  # the child has none of its parent's helpers
if child == 0:
    os._exit(outcome(("127.0.0.1", ECHO), None) is not True)
while ended == (0, 0) and time.monotonic() < deadline:
    time.sleep(0.01)
    ended = os.waitpid(child, os.WNOHANG)
if ended == (0, 0):
    os.kill(child, signal.SIGKILL)
    os.waitpid(child, 0)
expect(got == [True] * 9 and helpers <= threads and ended == (child, 0),
       "the main thread's connects run on helpers kept for them; a forked child starts its own",
       (got, helpers, threads, ended))


def parameters(function):
    return [(p.name, p.kind, p.default) for p in inspect.signature(function).parameters.values()]


web = http.server.HTTPServer(("127.0.0.1", 0), http.server.SimpleHTTPRequestHandler)
threading.Thread(target=web.serve_forever, daemon=True).start()
page = http.client.HTTPConnection("127.0.0.1", web.server_port)
page._create_connection = qbsocks.create_connection  # as http.client calls socket.create_connection
page.request("HEAD", "/")
got = [page.getresponse().status, parameters(qbsocks.create_connection)[:-1] == parameters(socket.create_connection)]
page.close()
web.shutdown()
socket.setdefaulttimeout(5)
for timeout in (socket._GLOBAL_DEFAULT_TIMEOUT, None, 5e6):
    with qbsocks.create_connection(("127.0.0.1", ECHO), timeout, ("", 0)) as connection:
        got += [connection.gettimeout(), os.get_blocking(connection.fileno())]
socket.setdefaulttimeout(None)
for source, errors in ((("127.0.0.2", 0), False), (None, True)):
    try:
        qbsocks.create_connection(("127.0.0.1", CLOSED), None, source, all_errors=errors)
    except (ValueError, ExceptionGroup) as e:
        got.append(type(e).__name__ + ": " + str(e).split(":")[0])
expect(got == [200, True, 5.0, False, None, True, 5e6, False, "ValueError: source_address ('127.0.0.2', 0) cannot be "
               "honoured", "ExceptionGroup: create_connection failed (1 sub-exception)"],
       "socket.create_connection's arguments, meaning the same", got)

# Windows: qbsocks.dll by its full path, or Windows' search without the
# current folder and PATH (LOAD_LIBRARY_SEARCH_DEFAULT_DIRS), never winmode=0.
saved = env.pop(qbsocks.LIBRARY_VARIABLE)
got = [qbsocks._library_file("win32")]
env[qbsocks.LIBRARY_VARIABLE] = "lib/qbsocks.dll"
got.append(qbsocks._library_file("win32"))
env[qbsocks.LIBRARY_VARIABLE] = saved
expect(got == [("qbsocks.dll", 0x1000), (os.path.abspath("lib/qbsocks.dll"), 0x1100)], "where Windows loads from", got)
print(f"{len(failures)} failed")
raise SystemExit(bool(failures))
