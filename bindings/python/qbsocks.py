"""QBSocks32's C interface from Python: a socket connected to a host directly
or through the SOCKS4 or SOCKS5 proxy that the current user's settings name.

    import qbsocks

    try:
        with qbsocks.create_connection(("example.org", 80), timeout=10) as s:
            s.sendall(b"HEAD / HTTP/1.0\\r\\nHost: example.org\\r\\n\\r\\n")
            print(s.recv(4096))
    except qbsocks.Error as e:
        print("cannot connect:", e.reason, "(result", e.result, ")")
    print(qbsocks.route())  # "direct", "SOCKS5 proxy 127.0.0.1:1080 as alice", ...

create_connection is a drop-in for socket.create_connection (same
arguments, same meaning), so whatever takes that function takes this one,
as http.client's HTTPConnection._create_connection does.

ctypes over libqbsocks.so.1 (qbsocks.dll on Windows), nothing compiled. The
library is the file that QBSOCKS_LIBRARY names; else on Linux the one the
system's loader finds (LD_LIBRARY_PATH, the ld.so cache, /usr/lib); on
Windows qbsocks.dll beside this file, by its full path, else the folders
that os.add_dll_directory added, the program's folder and the system
folders: never the current folder, nor PATH, where anyone may plant a DLL.

Threads: every call is independent (the settings are read at every
connect, a failure's reason belongs to its call) and ctypes lets go of the
GIL while the library works, so threads may connect at the same time.
Signals: Python runs their handlers (Ctrl-C's KeyboardInterrupt, an
alarm's) in the main thread alone, so a connect asked for there runs on a
thread of its own: the socket is owned from the moment the library returns
it, Ctrl-C ends the wait at once, and a socket that comes after nobody
waits any longer is closed.
Python ignores SIGPIPE, so writing to a connection the peer closed raises
BrokenPipeError rather than ending the program. On Windows the socket layer
is started by Python's socket module, imported here.
"""
import _thread
import ctypes
import functools
import math
import operator
import os
import socket
import sys
import threading

__all__ = ["create_connection", "route", "version", "Error", "ProxyUnreachable", "ProxyFailed",
           "TargetUnreachable", "NoSocket", "BadArgument", "BadTarget", "TimedOut",
           "SettingsUnreadable", "LIBRARY_VARIABLE"]

# The environment variable with the library's path, for a library that the
# loader would not find (a build folder, a prefix install).
LIBRARY_VARIABLE = "QBSOCKS_LIBRARY"

# The results of qbsocks_connect (qbsocks.h); a number never changes.
OK = 0
PROXY_UNREACHABLE = 1
PROXY_FAILED = 2
TARGET_UNREACHABLE = 3
NO_SOCKET = 4
BAD_ARGUMENT = 5
BAD_TARGET = 6
TIMED_OUT = 7
SETTINGS_UNREADABLE = 8

_NO_HANDLE = ctypes.c_size_t(-1).value  # QBSOCKS_NO_HANDLE: all bits set
_REASON_SIZE = 512
_LONGEST_BOUND_MS = 0xFFFFFFFF  # qbsocks_connect_timeout's unsigned int, about 49.7 days
# The settings' own texts in the route (the server, the user name), as the
# library reads them (qbsocks.h): UTF-8 on Linux, the ANSI code page on Windows.
_SETTINGS_ENCODING = "mbcs" if sys.platform == "win32" else "utf-8"
# LoadLibraryEx's search: the folders of os.add_dll_directory, the program's
# and the system's, and for a full path its own folder; never the current one.
_SEARCH_DEFAULT_DIRS, _SEARCH_DLL_LOAD_DIR = 0x1000, 0x100


class Error(ConnectionError):
    """A failed connect: `result` is the library's number, `reason` its words
    (ASCII, spelled as the library spells them)."""

    result = None

    def __init__(self, reason, result=None):
        super().__init__(reason)
        self.reason = reason
        if result is not None:
            self.result = result

    def __str__(self):
        return self.reason


class ProxyUnreachable(Error):
    """The proxy server could not be reached."""
    result = PROXY_UNREACHABLE


class ProxyFailed(Error):
    """The proxy refused, or the negotiation with it failed."""
    result = PROXY_FAILED


class TargetUnreachable(Error):
    """The direct connect to the target failed."""
    result = TARGET_UNREACHABLE


class NoSocket(Error):
    """No socket could be created."""
    result = NO_SOCKET


class BadArgument(Error):
    """The library was given no host or no place for the socket."""
    result = BAD_ARGUMENT


class BadTarget(Error):
    """The path the settings chose cannot carry this host text; nothing was
    sent for the target."""
    result = BAD_TARGET


class TimedOut(Error, TimeoutError):
    """The timeout ran out; the reason says which step it was waiting for.
    Also a TimeoutError, as socket.create_connection's own."""
    result = TIMED_OUT


class SettingsUnreadable(Error):
    """The proxy settings could not be read; the connect was not sent
    direct in their stead."""
    result = SETTINGS_UNREADABLE


_ERRORS = {error.result: error for error in (ProxyUnreachable, ProxyFailed, TargetUnreachable, NoSocket,
                                             BadArgument, BadTarget, TimedOut, SettingsUnreadable)}


def _library_file(platform=sys.platform):
    """The library to load, and on Windows LoadLibraryEx's search for it."""
    named = os.environ.get(LIBRARY_VARIABLE)
    if platform != "win32":
        return named or "libqbsocks.so.1", None
    if named and not os.path.dirname(named):
        return named, _SEARCH_DEFAULT_DIRS
    path = os.path.abspath(named) if named else os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                                             "qbsocks.dll")
    if not named and not os.path.isfile(path):
        return "qbsocks.dll", _SEARCH_DEFAULT_DIRS
    return path, _SEARCH_DEFAULT_DIRS | _SEARCH_DLL_LOAD_DIR  # its dependencies from its own folder first


@functools.lru_cache(maxsize=None)
def _library():
    path, search = _library_file()
    if sys.platform == "win32":
        # WinDLL: __stdcall on x86 (QBSOCKS_CALL), the one convention on x64.
        library = ctypes.WinDLL(path, winmode=search)
    else:
        library = ctypes.CDLL(path)
    handle = ctypes.POINTER(ctypes.c_size_t)  # uintptr_t*
    library.qbsocks_connect.argtypes = [ctypes.c_char_p, ctypes.c_uint, handle, ctypes.c_char_p,
                                        ctypes.c_size_t]
    library.qbsocks_connect.restype = ctypes.c_int
    library.qbsocks_route.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
    library.qbsocks_route.restype = ctypes.c_size_t
    library.qbsocks_version.argtypes = []
    library.qbsocks_version.restype = ctypes.c_char_p  # the library's own text: copied, never freed
    if hasattr(library, "qbsocks_connect_timeout"):  # 1.0.0.1 has none
        library.qbsocks_connect_timeout.argtypes = [ctypes.c_char_p, ctypes.c_uint, ctypes.c_uint, handle,
                                                    ctypes.c_char_p, ctypes.c_size_t]
        library.qbsocks_connect_timeout.restype = ctypes.c_int
    return library


def _host_bytes(host):
    """The host text as the library takes it: bytes as given, a str as
    ASCII, or IDNA when it has other letters (as the socket module does)."""
    if isinstance(host, str):
        host = host.encode("ascii") if host.isascii() else host.encode("idna")
    if not isinstance(host, (bytes, bytearray)):
        raise TypeError(f"host must be str or bytes, not {type(host).__name__}")
    if b"\0" in host:
        raise ValueError("host contains a NUL character")
    return bytes(host)


def _port_number(port):
    """The port as socket.getaddrinfo takes it: a number, or its text or
    service name ("80", "http")."""
    if isinstance(port, str):
        port = int(port) if port.isdigit() else socket.getservbyname(port, "tcp")
    port = operator.index(port)
    if not 0 <= port <= 0xFFFF:
        raise OverflowError("port must be 0-65535")
    return port


def _refuse_source_address(source_address):
    """The library picks the source address and port itself: only a source
    that says the same ("any address, any port") is taken."""
    if source_address is None:
        return
    host, port = source_address
    if host not in ("", "0.0.0.0", b"", b"0.0.0.0") or port != 0:
        raise ValueError(f"source_address {source_address!r} cannot be honoured: qbsocks connects from the "
                         "address and port the system picks (use None)")


def _timeout_ms(timeout):
    """The library's bound for a timeout in seconds: None (no bound beyond
    the library's own) as 0; otherwise whole milliseconds, at least one,
    rounded up so the bound is never shorter than asked, and at most the
    longest bound the library takes."""
    if timeout is None:
        return 0
    if not timeout > 0:  # NaN too
        raise ValueError("timeout must be positive or None: the library has no non-blocking connect")
    if timeout * 1000 >= _LONGEST_BOUND_MS:
        return _LONGEST_BOUND_MS
    return math.ceil(timeout * 1000)


def _close_handle(handle):
    if sys.platform == "win32":
        ctypes.WinDLL("ws2_32").closesocket(ctypes.c_size_t(handle))
    else:
        os.close(handle)


def _owned_socket(handle, timeout):
    """A socket.socket that owns the handle from now on, with the timeout."""
    try:
        connection = socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP, fileno=handle)
    except BaseException:
        _close_handle(handle)
        raise
    try:
        connection.settimeout(timeout)
    except BaseException:
        connection.close()
        raise
    return connection


def _connect(library, host, port, milliseconds, timeout):
    """The library's connect, its handle owned as soon as it returns."""
    handle = ctypes.c_size_t(_NO_HANDLE)
    reason = ctypes.create_string_buffer(_REASON_SIZE)
    if milliseconds:
        result = library.qbsocks_connect_timeout(host, port, milliseconds, ctypes.byref(handle), reason,
                                                 _REASON_SIZE)
    else:
        result = library.qbsocks_connect(host, port, ctypes.byref(handle), reason, _REASON_SIZE)
    if result != OK:
        raise _ERRORS.get(result, Error)(reason.value.decode("ascii", "replace"), result)
    return _owned_socket(handle.value, timeout)


def _where_no_signal_raises(function):
    """function(), whose result is a socket, run where no signal handler
    raises: on the calling thread unless it is the main one, where Python
    runs them; there, on a thread of its own while the main thread waits on
    a bare lock (threading's own waits are not safe to interrupt). A socket
    that comes after the wait was cut short is closed."""
    if threading.current_thread() is not threading.main_thread():
        return function()
    outcome, handover, done = {}, _thread.allocate_lock(), _thread.allocate_lock()

    def run():
        try:
            result = function()
        except BaseException as error:
            outcome["error"] = error
        else:
            with handover:
                if "abandoned" in outcome:
                    result.close()
                else:
                    outcome["result"] = result
        finally:
            done.release()

    done.acquire()
    try:
        _thread.start_new_thread(run, ())
        done.acquire()  # until run has ended; a signal cuts it short
    except BaseException:
        with handover:
            outcome["abandoned"] = True
            left = outcome.pop("result", None)
        if left is not None:
            left.close()
        raise
    if "error" in outcome:
        raise outcome.pop("error")
    return outcome.pop("result")


def create_connection(address, timeout=socket._GLOBAL_DEFAULT_TIMEOUT, source_address=None, *,
                      all_errors=False):
    """Connects to address, a (host, port) pair, as QBSocks32's CSocks does:
    directly or through the proxy the current settings name, read now.
    Takes what socket.create_connection takes, meaning the same:

    timeout (seconds) bounds the whole connect, proxy negotiation included,
    and stays on the socket, as with socket.create_connection: left out, it
    is socket.getdefaulttimeout(); None leaves the library's own bounds and
    gives a blocking socket. A bound longer than the library takes (about
    49.7 days) is its longest one. source_address: the library picks the
    source itself, so any other than None or ("", 0) is refused
    (ValueError). all_errors: a failure comes as an ExceptionGroup of the
    one error (the library makes one attempt).

    Returns a connected socket.socket, which owns the connection (close it,
    or use it in a with block). Raises an Error subclass per result, with
    the library's reason."""
    if all_errors and sys.version_info < (3, 11):
        raise TypeError("all_errors needs Python 3.11, as socket.create_connection's")
    host, port = address
    port = _port_number(port)
    host = _host_bytes(host)
    _refuse_source_address(source_address)
    if timeout is socket._GLOBAL_DEFAULT_TIMEOUT:
        timeout = socket.getdefaulttimeout()
    milliseconds = _timeout_ms(timeout)
    library = _library()
    if milliseconds and not hasattr(library, "qbsocks_connect_timeout"):
        raise NotImplementedError(f"this libqbsocks ({version()}) cannot bound a connect's time")
    try:
        return _where_no_signal_raises(lambda: _connect(library, host, port, milliseconds, timeout))
    except Error as error:
        if all_errors:
            raise ExceptionGroup("create_connection failed", [error]) from None
        raise


def route():
    """The path the settings choose now, without connecting: "direct",
    "SOCKS4 proxy 127.0.0.1:1080", "SOCKS5 proxy 127.0.0.1:1080 as alice",
    or "direct: " and why the proxy is off though ProxyEnable is on. The
    settings' texts in it (the server, the user name) decode as the library
    reads them: UTF-8 on Linux, the ANSI code page on Windows."""
    library = _library()
    size = 128
    while True:
        text = ctypes.create_string_buffer(size)
        length = library.qbsocks_route(text, size)
        if length < size:  # the settings may change between calls: ask again
            return text.value.decode(_SETTINGS_ENCODING, "replace")
        size = length + 1


def version():
    """The library's version text, such as "1.0.0.1"."""
    return _library().qbsocks_version().decode("ascii")
