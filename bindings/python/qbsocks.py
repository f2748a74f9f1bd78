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

ctypes over libqbsocks.so.1 (qbsocks.dll on Windows), nothing compiled. The
library is found as the system's loader finds it (on Linux the ld.so path:
LD_LIBRARY_PATH, the ld.so cache, /usr/lib; on Windows LoadLibrary's
standard order: the program's folder, the system folders, the current
folder, PATH), or at the path that QBSOCKS_LIBRARY names.

Threads: every call is independent (the settings are read at every
connect, a failure's reason belongs to its call) and ctypes lets go of the
GIL while the library works, so threads may connect at the same time.
Python ignores SIGPIPE, so writing to a connection the peer closed raises
BrokenPipeError rather than ending the program. On Windows the socket layer
is started by Python's socket module, imported here.
"""
import ctypes
import functools
import math
import os
import socket
import sys

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


@functools.lru_cache(maxsize=None)
def _library():
    path = os.environ.get(LIBRARY_VARIABLE)
    if sys.platform == "win32":
        # WinDLL: __stdcall on x86 (QBSOCKS_CALL), the one convention on
        # x64. winmode=0: LoadLibrary's standard search for a bare name,
        # where ctypes would otherwise leave PATH out.
        library = ctypes.WinDLL(path or "qbsocks.dll", winmode=0)
    else:
        library = ctypes.CDLL(path or "libqbsocks.so.1")
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


def _timeout_ms(timeout):
    """None (the library's own bounds) as 0; otherwise whole milliseconds,
    at least one, rounded up so the bound is never shorter than asked."""
    if timeout is None:
        return 0
    if timeout <= 0:
        raise ValueError("timeout must be positive or None")
    milliseconds = math.ceil(timeout * 1000)
    if milliseconds > 0xFFFFFFFF:
        raise OverflowError("timeout is longer than the library can take")
    return milliseconds


def _wrap(handle):
    """A socket.socket that owns the handle from now on."""
    try:
        return socket.socket(socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP, fileno=handle)
    except BaseException:
        if sys.platform == "win32":
            ctypes.WinDLL("ws2_32").closesocket(ctypes.c_size_t(handle))
        else:
            os.close(handle)
        raise


def create_connection(address, timeout=None):
    """Connects to address, a (host, port) pair, as QBSocks32's CSocks does:
    directly or through the proxy the current settings name, read now.

    timeout (seconds) bounds the whole connect, proxy negotiation included,
    and stays on the socket for later operations, as with
    socket.create_connection; None leaves the library's own bounds. Returns
    a connected socket.socket, which owns the connection (close it, or use
    it in a with block). Raises an Error subclass per result, with the
    library's reason."""
    host, port = address
    if not 0 <= port <= 0xFFFF:
        raise OverflowError("port must be 0-65535")
    host = _host_bytes(host)
    milliseconds = _timeout_ms(timeout)
    library = _library()
    handle = ctypes.c_size_t(_NO_HANDLE)
    reason = ctypes.create_string_buffer(_REASON_SIZE)
    if milliseconds:
        if not hasattr(library, "qbsocks_connect_timeout"):
            raise NotImplementedError(f"this libqbsocks ({version()}) cannot bound a connect's time")
        result = library.qbsocks_connect_timeout(host, port, milliseconds, ctypes.byref(handle), reason,
                                                 _REASON_SIZE)
    else:
        result = library.qbsocks_connect(host, port, ctypes.byref(handle), reason, _REASON_SIZE)
    if result != OK:
        text = reason.value.decode("ascii", "replace")
        raise _ERRORS.get(result, Error)(text, result)
    connection = _wrap(handle.value)
    if timeout is not None:
        connection.settimeout(timeout)
    return connection


def route():
    """The path the settings choose now, without connecting: "direct",
    "SOCKS4 proxy 127.0.0.1:1080", "SOCKS5 proxy 127.0.0.1:1080 as alice",
    or "direct: " and why the proxy is off though ProxyEnable is on."""
    library = _library()
    size = 128
    while True:
        text = ctypes.create_string_buffer(size)
        length = library.qbsocks_route(text, size)
        if length < size:  # the settings may change between calls: ask again
            return text.value.decode("ascii", "replace")
        size = length + 1


def version():
    """The library's version text, such as "1.0.0.1"."""
    return _library().qbsocks_version().decode("ascii")
