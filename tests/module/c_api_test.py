"""The Python binding over connect_cases.txt, the connect cases c_api_test.c
runs too (under linux_servers.py), by create_connection and both asyncio
forms; then threads at once, an interrupt at every step, the helper threads
of the main thread's connects, socket.create_connection's arguments, and
where Windows would load qbsocks.dll from."""
import asyncio
import asyncio.proactor_events
import atexit
import concurrent.futures
import contextlib
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
import struct
import sys
import threading
import time
from urllib.parse import quote

import connect_cases
import qbsocks

env, failures = os.environ, []
USER, PASSWORD, ECHO = env["QBSOCKS_MICROSOCKS_USER"], env["QBSOCKS_MICROSOCKS_PASSWORD"], int(env["QBSOCKS_ECHO_PORT"])
DANTE, AUTH = int(env["QBSOCKS_DANTE_PORT"]), int(env["QBSOCKS_MICROSOCKS_AUTH_PORT"])
AUTH_URL = f"socks5h://{quote(USER, safe='')}:{quote(PASSWORD, safe='')}@127.0.0.1"
MICROSOCKS, CONFIG = int(env["QBSOCKS_MICROSOCKS_PORT"]), env.get("XDG_CONFIG_HOME")
if not CONFIG:  # the only folder the test writes its settings, venvs and installs in
    raise SystemExit("FAILED XDG_CONFIG_HOME is not set: run the test through ctest")
SETTINGS_FILE = os.path.join(CONFIG, "qbsocks", "user.reg")
shutil.rmtree(os.path.dirname(SETTINGS_FILE), ignore_errors=True)  # what a run cut short left
pyenv = os.path.join(env.get("PYENV_ROOT") or pwd.getpwuid(os.getuid()).pw_dir + "/.pyenv", "versions")
cpythons = sorted((tuple(map(int, v.split("."))), f"{pyenv}/{v}/bin/python3") for v in (
    os.listdir(pyenv) if os.path.isdir(pyenv) else ()) if re.fullmatch(r"3\.([89]|[1-9]\d)\.\d+", v))
# The cases alone under the oldest, where socket.timeout is not yet TimeoutError: meanwhile, in settings of their own.
rows_runs = [] if sys.argv[1:] == ["rows"] else [(python, subprocess.Popen(
    [python, __file__, "rows"], stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
    env=dict(env, XDG_CONFIG_HOME=os.path.join(CONFIG, "rows")))) for _, python in cpythons[:1]]
atexit.register(lambda: [run.kill() for _, run in rows_runs])  # whatever ends the test


def expect(ok, name, got=""):
    if not ok:
        print(f"FAILED {name} (got {got!r})")
        failures.append(name)


def write_settings(port=0, version=0, user="", password="", server="127.0.0.1"):
    os.makedirs(os.path.dirname(SETTINGS_FILE), exist_ok=True)
    with open(SETTINGS_FILE, "w", encoding="utf-8") as out:
        out.write('Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Quillbrook\\Game\\Share\\'
                  f'Proxy]\n"ProxyEnable"=dword:{int(port > 0)}\n"SocksServer"="{server}"\n"SocksPort"=dword:'
                  f'{port:x}\n"SocksVersion"=dword:{version:x}\n"UserName"="{user}"\n"Password"="{password}"\n')


def same_family(connection):  # the socket object's family is the descriptor's (an IPv6 one: AF_INET6)
    return connection.family == connection.getsockopt(socket.SOL_SOCKET, socket.SO_DOMAIN)


def outcome(address, timeout, text=b"ping through qbsocks", cancel=None):  # True when the bytes came back (b"": when
    try:  # connected), on a socket with the timeout; or the failure
        with qbsocks.create_connection(address, timeout, cancel=cancel) as connection:
            connection.sendall(text)
            return connection.gettimeout() == timeout and same_family(connection) and connection.recv(
                len(text), socket.MSG_WAITALL) == text
    except qbsocks.Error as e:
        return e


async def outcome_async(address, timeout, text=b"ping", streams=False, cancel=None):  # outcome's, by the asyncio forms
    try:
        if streams:
            reader, writer = await qbsocks.open_connection(*address, timeout=timeout)
            writer.write(text)
            return await reader.readexactly(len(text)) == text and not writer.close()
        with await qbsocks.create_connection_async(address, timeout, cancel=cancel) as connection:
            await asyncio.get_running_loop().sock_sendall(connection, text)
            return connection.gettimeout() == 0.0 and same_family(connection) and (
                not text or await asyncio.get_running_loop().sock_recv(connection, 99) == text)
    except qbsocks.Error as e:
        return e


closed, silent = socket.socket(), socket.create_server(("127.0.0.1", 0))  # refuses; accepts and never answers
closed.bind(("127.0.0.1", 0))
CLOSED, SILENT = closed.getsockname()[1], silent.getsockname()[1]
Q = qbsocks


def syn_sent_to(port):  # the connects to the port still in SYN-SENT (/proc/net/tcp's state 02)
    with open("/proc/net/tcp") as tcp:
        return sum(line.split()[2:4] == [f"0100007F:{port:04X}", "02"] for line in tcp)


class ProxySide:
    """A case's proxy and settings, afresh for each way of connecting. The test's own, for a script or a cancel,
    accepts each connect on a thread and reads its first bytes (a cancelled one waits for the reply once its request
    is there), cancels, sends the script and ends its sending half (or resets, for a final !)."""

    def __init__(self, case, cancel, connects):
        self.case, self.cancel, self.accepted, self.triggered, self.failed = case, cancel, [], None, None
        self.listener = socket.create_server(("127.0.0.1", 0), backlog=0 if case.proxy == "dropping" else 200) if (
            case.proxy in ("silent", "dropping", "scripted")) else None
        self.port = {"none": 0, "dante": DANTE, "microsocks": MICROSOCKS, "microsocks-auth": AUTH}.get(
            case.proxy, (self.listener or closed).getsockname()[1])
        # One connection fills a backlog of 0: SYNs that come later are dropped.
        self.filler = socket.create_connection(("127.0.0.1", self.port)) if case.proxy == "dropping" else None
        self.thread = threading.Thread(target=self.play, args=(connects,))
        if case.script or case.cancel not in ("0", "before"):
            self.listener.settimeout(60)  # a connect that never comes fails the case, not the whole run
            self.thread.start()

    def route(self):  # writes the settings: the route they give
        case, auth = self.case, self.case.proxy == "microsocks-auth"
        user, server = USER * auth if case.user is None else case.user, "127.0.0.1" if (
            case.proxy != "unresolved") else "qbsocks-proxy.invalid"
        write_settings(self.port, int(case.version), user, PASSWORD * auth if case.password is None else
                       case.password, server)
        if case.settings == "unreadable":  # a folder in the file's stead
            os.remove(SETTINGS_FILE) or os.mkdir(SETTINGS_FILE)
            return case.reason
        return f"SOCKS{case.version} proxy {server}:{self.port}{' as ' * bool(user)}{user}" if self.port else "direct"

    def play(self, connects):
        text = self.case.script or ""  # None: no script
        script, resets = bytes.fromhex(text.rstrip("!")), text.endswith("!")
        try:
            if self.case.proxy == "dropping":
                deadline = time.monotonic() + 10  # each connect's SYN dropped: it waits for the retry
                while syn_sent_to(self.port) < connects and time.monotonic() < deadline:
                    time.sleep(0.001)
                connects = self.listener.accept()[0].close() or connects if script else 0  # the filler's: one in
            for _ in range(connects):
                self.accepted.append(self.listener.accept()[0])
                self.accepted[-1].recv(64)
            self.triggered = time.monotonic()  # before the script: a connect may meet both at once
            if self.cancel:
                self.cancel.cancel()
                self.cancel.cancel()  # twice is safe
            for peer in self.accepted if script else ():
                if resets:  # a reset, not a FIN, as soon after the bytes as can be
                    peer.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                peer.sendall(script)
                with contextlib.suppress(OSError):  # the client may have read its fill and reset it already
                    peer.close() if resets else peer.shutdown(socket.SHUT_WR)
        except OSError as e:
            self.failed = e

    def close(self):  # whether the proxy played its part
        if self.thread.ident:
            self.thread.join()
        for peer in self.accepted if self.case.after_script == "nothing" else ():
            heard = b""
            peer.settimeout(10)
            with contextlib.suppress(ConnectionResetError):  # the connect closed with the script unread
                for more in iter(lambda: peer.recv(512), b""):  # what came after the script, to the close
                    heard += more
            self.failed = self.failed or (f"{heard!r} after the script" if heard else None)
        for held in [*self.accepted, self.filler, self.listener]:
            if held:
                held.close()
        if self.case.settings == "unreadable":
            os.rmdir(SETTINGS_FILE)
        return self.failed is None


def descriptors(kind=""):  # the process's open descriptors; kind "socket:", its sockets alone
    found = []
    for fd in sorted(os.listdir("/proc/self/fd")):
        try:
            found += [fd] if os.readlink(f"/proc/self/fd/{fd}").startswith(kind) else []
        except OSError:  # the listing's own, closed by now
            pass
    return found


def descriptors_as(before, seconds=10, kind=""):  # as before, once what closes them late has
    deadline = time.monotonic() + seconds
    while descriptors(kind) != before and time.monotonic() < deadline:
        time.sleep(0.01)
    return descriptors(kind) == before


WATCHED, watches_sockets, step, polls = (True, False), Q._watches_sockets, Q._LoopDriven.step, [0]
Q._LoopDriven.step = lambda driven: polls.append(polls.pop() + 1) or step(driven)  # counted: a loop that spins shows
WAYS = {"create_connection": None, "asyncio, the loop watching sockets": True, "asyncio, the callback form": False}


def connect_all(watched, address, timeout, text, cancel, count):
    """The outcomes of count connects at once, sharing cancel: by create_connection (the first on the main thread,
    which the binding moves on itself, the others on threads), or by asyncio (watched: on a loop that watches sockets,
    else the callback form)."""
    if watched is None:
        with concurrent.futures.ThreadPoolExecutor(count) as pool:
            others = pool.map(lambda _: outcome(address, timeout, text, cancel), range(1, count))
            return [outcome(address, timeout, text, cancel), *others]

    async def every():
        return await asyncio.gather(*(outcome_async(address, timeout, text, cancel=cancel) for _ in range(count)))
    Q._watches_sockets = lambda loop_class: watched
    try:
        return asyncio.run(every())
    finally:
        Q._watches_sockets = watches_sockets


STDLIB = (socket.timeout, TimeoutError, socket.gaierror, ConnectionRefusedError, ConnectionResetError,
          ConnectionAbortedError, BrokenPipeError, PermissionError, InterruptedError, BlockingIOError)
LOOKUP = {11001: ("host name not found", socket.EAI_NONAME), 11002: ("name lookup failed for now; try again",
                                                                    socket.EAI_AGAIN)}  # words, gaierror's errno
NO_LOOKUP = ("", None)
SYSTEM_ERRNO = {10061: errno.ECONNREFUSED, 10054: errno.ECONNRESET, 10013: errno.EACCES, 10051: errno.ENETUNREACH,
                10065: errno.EHOSTUNREACH, 10060: errno.ETIMEDOUT, 10047: errno.EAFNOSUPPORT}  # the cases' numbers


def promised(case, system_error):
    """What the binding promises beside the library's facts: a system error's errno (a direct connect's lookup:
    socket.gaierror's EAI_*), and the classes socket.create_connection's own failure would have: the timeout's for
    the caller's bound; where the system failed a direct connect, socket.gaierror or the OSError of its errno."""
    direct = case.result == "TARGET_UNREACHABLE"
    if case.cause == "REFUSED":  # a proxy's code mapped to the system's error: that error's OSError too
        number = SYSTEM_ERRNO.get(system_error)
        return number, {type(OSError(number, ""))} - {OSError} if number else set()
    if case.cause != "SYSTEM_ERROR":
        return None, {socket.timeout, TimeoutError} if case.result == "TIMED_OUT" else set()
    if direct and "TARGET_LOOKUP" in case.step:
        return LOOKUP.get(system_error, NO_LOOKUP)[1], {socket.gaierror}
    number = SYSTEM_ERRNO.get(system_error)
    return number, {type(OSError(number, ""))} - {OSError} if direct else set()


def kept(e):  # what a pickle or copy of an exception must keep
    return type(e), e.args, e.__dict__, e.errno, e.strerror, str(e)


def fits(got, case, port, target_port):
    """True, or the case's class and result, reason, facts, errno and promised classes, kept when pickled."""
    if case.result == "OK":
        return got is True
    error = getattr(Q, case.result.title().replace("_", ""))  # PROXY_FAILED: ProxyFailed
    system_error = getattr(got, "system_error", None)
    seen = 11001 if case.system_error == "11001" and system_error == 11002 else system_error  # an offline resolver
    reason = case.reason.replace("{proxy_port}", str(port)).replace("{target_port}", str(target_port))
    reason = reason.replace("{lookup}", LOOKUP.get(system_error, NO_LOOKUP)[0])
    number, classes = promised(case, system_error)
    return (isinstance(got, error) and got.result == error.result == Q.Result[case.result] and (
        got.reason.startswith(reason[:-1]) if reason.endswith("*") else got.reason == reason) and
        got.step in {Q.Step[step] for step in case.step.split("|")} and (got.cause, got.proxy_code, seen, got.errno)
        == (Q.Cause[case.cause], case.proxy_code and int(case.proxy_code), int(case.system_error), number) and
        {kind for kind in STDLIB if isinstance(got, kind)} == classes and
        kept(pickle.loads(pickle.dumps(got))) == kept(got) == kept(copy.copy(got)))


def run_case(case):
    """The case by each way: the route, each outcome, of one type by every way, a bounded failure in its bound and a
    few seconds, cancelled connects within 5 s of the cancel, no socket left."""
    bound, count, first = float(case.bound_ms) / 1000, 1 if case.cancel == "before" else max(int(case.cancel), 1), None
    address = case.host, CLOSED if case.target == "refusing" else ECHO
    text = b"" if case.script else b"ping through qbsocks"  # a scripted proxy's grant leads nowhere
    for way, watched in [(way, w) for way, w in WAYS.items() if w or "watched" not in case.also]:
        name, before, polled = f"{case.case}, {way}", descriptors("socket:"), polls[0]  # (the library's thread's own)
        cancel = Q.Cancel() if case.cancel != "0" else None
        if case.cancel == "before":
            cancel.cancel()
        proxy = ProxySide(case, cancel, count)
        route, start = proxy.route(), time.monotonic()
        expect(Q.route() == route, f"{name}: the route", Q.route())
        got, ended = connect_all(watched, address, bound or None, text, cancel, count), time.monotonic()
        expect(proxy.close(), f"{name}: the proxy's part", proxy.failed)
        first = first or got
        expect(all(fits(one, case, proxy.port, address[1]) and type(one) is type(first[0]) for one in got) and (
            bound <= ended - start < bound + 5 if case.result == "TIMED_OUT" else ended - start < 15 if
            case.cause == "NO_ANSWER" else case.cancel == "0" or ended - (proxy.triggered or start) < 5) and
            polls[0] - polled <= 50 * count, name, ([(o, getattr(o, "__dict__", o)) for o in got], ended - start,
                                                    polls[0] - polled))
        # The failures kept, and the Cancel open: neither holds a descriptor.
        expect(descriptors_as(before, 5, "socket:"), f"{name}: no socket left", descriptors("socket:"))
        if cancel:
            cancel.close()
            cancel.cancel()  # closed: changes nothing


TABLE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "connect_cases.txt")
cases = [case for case in connect_cases.read(TABLE) if "python" in case.only.split(" ")]
for case in cases:
    run_case(case)
print(f"{len(cases)} cases, each by {', '.join(WAYS)}")
expect(cases, "the case table read")
# What the one reader refuses no harness runs (the C and C# harnesses run the cases it writes out).
for planted in ("proxy: socks9", "cancel: 201", "also: plain later"):
    with contextlib.suppress(SystemExit):
        expect(not connect_cases.read("planted", f"case: planted\n{planted}\nresult: OK\n"), f"{planted} refused")
# Every class the binding raises, made as it makes them: pickled and copied with its facts.
for error in {*Q._ERRORS.values(), *Q._TARGET_ERRORS.values(), Q.TargetLookupFailed, Q.NoLibrary, Q.Error}:
    made = error("why", error.result, Q.STEP_TARGET_LOOKUP, Q.CAUSE_SYSTEM_ERROR, 91, 11001)
    expect(kept(pickle.loads(pickle.dumps(made))) == kept(made) == kept(copy.copy(made)), f"{error} pickled", made)
# qbsocks.h's lists in the order of their numbers, its constants (the results come before QBSOCKS_REASON_SIZE), and
# the bindings' enums (Python's, its names of earlier releases, C#'s) the same; the reason's size the header's in each.
header, csharp = (open(os.path.join(os.path.dirname(__file__), "../..", path)).read() for path in (
    "include/qbsocks.h", "bindings/dotnet/QBSocks.cs"))
defined = r"#define QBSOCKS_(\w+) +(?:\\\s+)?(\d+)\b"
numbers, results = (dict(re.findall(defined, text)) for text in (header, header[:header.index("QBSOCKS_REASON_SIZE")]))
for kind, prefix in ((Q.Result, ""), (Q.Step, "STEP_"), (Q.Cause, "CAUSE_")):
    block = re.search(rf"#define QBSOCKS_{kind.__name__.upper()}S\(X\)(.*\\\n)*.*", header)[0]
    listed = re.findall(r"X\((\w+), (\d+)", block)
    cs = re.search(rf"public enum QBSocks{kind.__name__}\s*{{(.*?)}}", csharp, re.S)[1]
    expect(listed == [(n, str(i)) for i, (n, _) in enumerate(listed)] == [(m.name, str(m.value)) for m in kind] and
           {prefix + n: v for n, v in listed} == (results if not prefix else {
               n: v for n, v in numbers.items() if n.startswith(prefix)}) and all(
               getattr(Q, prefix + m.name, m) is m for m in kind) and re.findall(r"^\s*(\w+) = (\d+),", cs, re.M)
           == [(n.title().replace("_", ""), v) for n, v in listed], f"{kind.__name__}: qbsocks.h's list, its constants,"
           " Python's and C#'s enums the same", (listed, cs))
expect(int(numbers["REASON_SIZE"]) == Q._REASON_SIZE == Q._Outcome.reason.size == int(re.search(
    r"const int ReasonSize = (\d+);", csharp)[1]) and "SizeConst = QBSocks.ReasonSize" in csharp,
    "QBSOCKS_REASON_SIZE in each binding", numbers["REASON_SIZE"])
if sys.argv[1:] == ["rows"]:  # the cases alone, under another Python
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
web = http.server.HTTPServer(("127.0.0.1", 0), http.server.SimpleHTTPRequestHandler)
threading.Thread(target=web.serve_forever, daemon=True).start()
venv, package = os.path.join(CONFIG, "venv"), f"{env['QBSOCKS_VERSION']} {env['QBSOCKS_VERSION']} True True"
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
        os.remove(SETTINGS_FILE) or os.mkdir(SETTINGS_FILE)
    got = subprocess.run([os.path.join(venv, "bin", "python"), "-c", USE, f"http://127.0.0.1:{web.server_port}/"],
                         capture_output=True, text=True, cwd=venv, env=venv_env)
    expect(got.stdout.strip() == expected, "the package in a venv: proxy_url(), requests through it", got)
os.rmdir(SETTINGS_FILE)
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
    print(e.reason, e.step, e.cause, e.proxy_code, isinstance(e, ConnectionRefusedError))"""
REFUSED = f"the SOCKS5 proxy 127.0.0.1:{AUTH} could not connect to 127.0.0.1:{CLOSED}: Connection refused"
if not cpythons:
    print(f"SKIPPED the wheel in a venv of a CPython that is not Debian's: none 3.8 or later in {pyenv}")
for python, run in rows_runs:
    got = run.communicate()[0]
    expect(run.returncode == 0 and re.search(r"^[1-9]\d* cases", got, re.M), f"the cases under {python}", got)
for python in [p for _, p in cpythons[:1]] + ["/usr/bin/python3"]:
    subprocess.run([python, "-m", "venv", "--clear", venv], check=True)
    subprocess.run([f"{venv}/bin/python", "-m", "pip", "install", "-q", "--no-index", env["QBSOCKS_WHEEL"]], env=venv_env)
    write_settings(AUTH, 5, USER, PASSWORD)
    got = subprocess.run([f"{venv}/bin/python", "-c", CONNECT, str(ECHO), str(CLOSED)], capture_output=True, text=True,
                         env=venv_env)
    expect(got.stdout == f"None b'wheel' {env['QBSOCKS_VERSION']} True\n{REFUSED} {Q.STEP_REPLY} "
           f"{Q.CAUSE_REFUSED} 5 True\n", f"the wheel in a venv of {python}", got)
    got = [subprocess.run([f"{venv}/bin/python", "-m", "qbsocks", *args], input=f"{AUTH_URL}:{AUTH}\n", text=True,
                          capture_output=True, env=venv_env, cwd=venv).stdout for args in (["set", "-"], ["show"])]
    expect(got == [f"SOCKS5 proxy 127.0.0.1:{AUTH} as {USER}\n", f"socks5h://{quote(USER, safe='')}:****@127.0.0.1:"
                   f"{AUTH}\n"], f"python -m qbsocks set - and show, from the wheel in a venv of {python}", got)

# cmake --install --prefix <the user's base> (~/.local): the Python CMake found imports the package from there, and
# it loads the prefix's library, with no PYTHONPATH, QBSOCKS_LIBRARY or LD_LIBRARY_PATH.
userbase = os.path.join(CONFIG, "userbase")
shutil.rmtree(userbase, ignore_errors=True)
for component in ("qbsocks", "python"):
    subprocess.run([env["QBSOCKS_CMAKE"], "--install", env["QBSOCKS_BUILD"], "--prefix", userbase, "--component",
                    component], env=dict(venv_env, PYTHONUSERBASE=userbase), check=True, stdout=subprocess.DEVNULL)
got = subprocess.run([sys.executable, "-c", "import qbsocks; print(qbsocks.__file__, qbsocks._library()._name)"],
                     env=dict(venv_env, PYTHONUSERBASE=userbase), cwd=userbase, capture_output=True, text=True)
expect(re.fullmatch(f"{userbase}/lib/python3.*-packages/qbsocks/__init__.py {userbase}/lib/python3.*/libqbsocks.so.1\n",
                    got.stdout) and os.path.realpath(got.stdout.split()[1]).startswith(userbase + "/lib/libqbsocks"),
       "cmake --install --prefix ~/.local: the package where Python looks, with the prefix's library", got)

for url, back, why in ((f"SOCKS5://{AUTH_URL[10:]}:{AUTH}/", f"{AUTH_URL}:{AUTH}", None), ("socks4://bob@h:1", None,
                        "a socks4:// URL takes no user name: SOCKS4 sends the system's user name")):
    refused = None
    try:
        qbsocks.set_proxy_url(url)
    except qbsocks.BadArgument as e:
        refused = e.reason
    expect(qbsocks.proxy_url() == back and refused == why, "set_proxy_url, read back; refused, nothing written", url)
    qbsocks.set_proxy_url(None)
os.chmod(SETTINGS_FILE, 0o644)  # qbsocks-reg's warning, in its words
expect(qbsocks.set_proxy_url("off") == f"warning: {SETTINGS_FILE} is open to other users (mode 0644) and holds the "
       f"proxy password in plain text; run: chmod 600 {SETTINGS_FILE}", "set_proxy_url: a file open to others", "")
os.chmod(SETTINGS_FILE, 0o600)
write_settings()
expect(qbsocks.version() == qbsocks.__version__ == env["QBSOCKS_VERSION"], "version", qbsocks.version())
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
       [[True] * 5, [REFUSED] * 5] * 4, "threads", outcomes)


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
library, handles = Q._library(), set()  # the library's cancel handles alive, as the binding makes and frees them
create, destroy = library.qbsocks_cancel_create, library.qbsocks_cancel_destroy
library.qbsocks_cancel_create = lambda: (lambda made: handles.add(made) or made)(create())
library.qbsocks_cancel_destroy = lambda handle: handles.discard(handle) or destroy(handle)
# settings, connects at once, the library's timeout, asyncio.wait_for's, each one's outcome; by each driver, which
# starts no thread (the callback form's: the library's one). A blocked loop lags a second per connect of the silent
# proxy's forty, a thread per connect shows, and a cancelled connect that goes on keeps its socket for 30 s. The
# bounds leave a busy machine room: a loop blocked by each connect in turn takes 40 s or more in every row.
for watched, (settings, count, timeout, wait, expected) in itertools.product(WATCHED, (
        ((MICROSOCKS, 5), 40, 30, None, True), ((SILENT, 5), 40, 1, None, "TimedOut"),
        ((SILENT, 5), 1, 30, 0.5, "TimeoutError"), ((SLOW, 5), 1000, 30, None, True),
        ((SLOW, 5), 1000, 30, None, "half cancelled"), ((SLOW, 5), 1000, 30, None, "loop closed"),
        ((SILENT, 5), 40, 30, None, "loop closed"))):
    Q._watches_sockets = lambda loop_class: watched
    write_settings(*settings)
    before, start, threads = descriptors(), time.monotonic(), len(os.listdir("/proc/self/task"))
    got, lag, most = at_once(count, timeout, wait, expected)
    took = time.monotonic() - start
    while (descriptors() != before or handles) and time.monotonic() < start + 5:
        time.sleep(0.01)
    left = len(handles)  # before a collection: none is left for one to free
    logging.getLogger("asyncio").disabled = gc.collect() and False
    print(f"asyncio, {count} at once ({expected}, the loop watching sockets {watched}): returned after {took:.3f} s, "
          f"the timer's largest lag {lag * 1000:.0f} ms, the most threads {most} (before: {threads}), the descriptors "
          f"as before after {time.monotonic() - start:.3f} s")
    expect(as_expected(got, expected) and lag <= max(2.5, count / 100) and took < 20 and most <= threads + (
           not watched) and descriptors() == before and not left, f"asyncio, {count} at once: {expected}, the loop "
           f"never blocked, no thread per connect, no socket or cancel handle left ({watched})",
           (got, lag, took, most, left))
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
    return descriptors_as(before)  # a socket that comes on the helper closes then, not at the next connect


write_settings(MICROSOCKS, 5)
before = descriptors()
steps = sum(1 for _ in itertools.takewhile(interrupted, itertools.count()))
expect(steps > 50 and descriptors_as(before), "an interrupt at every step leaves no socket",
       (steps, before, descriptors()))

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
before = descriptors()
with concurrent.futures.ThreadPoolExecutor(1) as pool:
    proxy, got = pool.submit(answer_when_told, listener, told), []
    try:
        outcome(("127.0.0.1", ECHO), None)
    except KeyboardInterrupt:
        got.append("interrupted")
    told.set()  # the socket comes now, after the wait was cut short, and no connect follows
    got += [proxy.result(), descriptors() == before]
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
