// What the tests need of the system beneath them, on Linux and on Windows
// (where the tests run under Wine): raw sockets for the test peers,
// waiting on them, environment variables, temporary folders and the
// logon name. Test code above this header has no #ifdef of its own.
#ifndef QBSOCKS_TESTS_SUPPORT_TEST_PLATFORM_H
#define QBSOCKS_TESTS_SUPPORT_TEST_PLATFORM_H

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "win32_posix/platform_testing.h"
#include "win32.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <linux/sockios.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace qbtest {

#ifdef _WIN32
using NativeSocket = SOCKET;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;
constexpr int kSendNoSignal = 0;
constexpr int kShutdownWrite = SD_SEND;
#else
using NativeSocket = int;
constexpr NativeSocket kNoSocket = -1;
constexpr int kSendNoSignal = MSG_NOSIGNAL;
constexpr int kShutdownWrite = SHUT_WR;
#endif

// Windows Sockets must be started before a test peer opens a socket; the
// class library leaves that to its host, which here is the test program.
inline bool StartSocketLayer() {
#ifdef _WIN32
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
#else
  return true;
#endif
}

// A TCP socket that no child process inherits.
inline NativeSocket OpenTcpSocket() {
  StartSocketLayer();
#ifdef _WIN32
  return WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, 0x80 /* no inherit */);
#else
  return socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
#endif
}

inline NativeSocket AcceptConnection(NativeSocket listener) {
#ifdef _WIN32
  return accept(listener, nullptr, nullptr);
#else
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}

inline void CloseNativeSocket(NativeSocket s) {
#ifdef _WIN32
  closesocket(s);
#else
  close(s);
#endif
}

// Whether the handle still names an open socket of this process.
inline bool SocketIsOpen(SOCKET s) {
#ifdef _WIN32
  int type = 0;
  int length = sizeof(type);
  return getsockopt(s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0;
#else
  return fcntl(static_cast<int>(s), F_GETFD) != -1;
#endif
}

// Waits at most `limit` for data (or the end of the stream) on the socket.
inline bool WaitReadable(NativeSocket s, std::chrono::milliseconds limit) {
#ifdef _WIN32
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  const long ms = static_cast<long>(limit.count());
  timeval timeout{ms / 1000, (ms % 1000) * 1000};
  return select(0, &readable, nullptr, nullptr, &timeout) > 0;
#else
  pollfd p{s, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(limit.count())) > 0;
#endif
}

// True when the peer has closed its sending side within `limit`; bytes it
// sent meanwhile stay queued.
inline bool PeerClosed(NativeSocket s, std::chrono::milliseconds limit) {
#ifdef _WIN32
  char byte;
  return WaitReadable(s, limit) && recv(s, &byte, 1, MSG_PEEK) <= 0;
#else
  pollfd p{s, POLLRDHUP, 0};
  return poll(&p, 1, static_cast<int>(limit.count())) > 0 && (p.revents & (POLLRDHUP | POLLHUP));
#endif
}

// Bytes that have arrived at the socket and wait to be read; -1 when the
// system cannot tell.
inline long BytesWaiting(NativeSocket s) {
#ifdef _WIN32
  u_long count = 0;
  return ioctlsocket(s, FIONREAD, &count) == 0 ? static_cast<long>(count) : -1;
#else
  int count = 0;
  return ioctl(s, FIONREAD, &count) == 0 ? count : -1;
#endif
}

// Whether everything sent on the socket has reached the other end's
// receive queue (the other end has acknowledged it). Windows cannot tell:
// there the answer is always yes.
inline bool SentBytesArrived(NativeSocket s) {
#ifdef _WIN32
  (void)s;
  return true;
#else
  int unacknowledged = 0;
  return ioctl(s, SIOCOUTQ, &unacknowledged) == 0 && unacknowledged == 0;
#endif
}

// Closes with a reset rather than an orderly end.
inline void ResetConnection(NativeSocket s) {
  linger hard{1, 0};
  setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));
  CloseNativeSocket(s);
}

// Whether ResetConnection reaches the other end as a reset. Wine's
// closesocket shuts the socket down before it closes it, so the other end
// sees an orderly end instead; found out once, on a loopback pair.
inline bool ResetReachesThePeer() {
#ifdef _WIN32
  static const bool reaches = [] {
    NativeSocket listener = OpenTcpSocket();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof(addr);
    NativeSocket client = kNoSocket, accepted = kNoSocket;
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), len) == 0 && listen(listener, 1) == 0 &&
        getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0) {
      client = OpenTcpSocket();
      if (connect(client, reinterpret_cast<sockaddr*>(&addr), len) == 0) {
        accepted = AcceptConnection(listener);
      }
    }
    bool reset = false;
    if (accepted != kNoSocket) {
      ResetConnection(accepted);
      char byte;
      reset = WaitReadable(client, std::chrono::seconds(5)) && recv(client, &byte, 1, 0) < 0 &&
              WSAGetLastError() == WSAECONNRESET;
    }
    if (client != kNoSocket) CloseNativeSocket(client);
    CloseNativeSocket(listener);
    return reset;
  }();
  return reaches;
#else
  return true;
#endif
}

inline void SetEnvironment(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  setenv(name, value.c_str(), 1);
#endif
}

inline void UnsetEnvironment(const char* name) {
#ifdef _WIN32
  _putenv_s(name, "");
#else
  unsetenv(name);
#endif
}

// A new, empty folder of the test's own; empty when none can be made.
inline std::string NewTempFolder(const std::string& tag) {
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  if (error) return "";
  for (unsigned attempt = 0; attempt < 100; ++attempt) {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::filesystem::path folder =
        base / (tag + "-" + std::to_string(stamp % 1000000007) + "-" + std::to_string(attempt));
    if (std::filesystem::create_directory(folder, error)) return folder.string();
  }
  return "";
}

// The logon name of the user running the tests, found independently of
// the library's GetUserNameA: the password database on Linux, the
// environment Windows sets up at logon.
inline std::string LogonName() {
#ifdef _WIN32
  const char* name = std::getenv("USERNAME");
  return name != nullptr ? name : "";
#else
  const passwd* entry = getpwuid(geteuid());
  return entry != nullptr ? entry->pw_name : "";
#endif
}

constexpr bool kOnWindows =
#ifdef _WIN32
    true;
#else
    false;
#endif

// Whether the module (as named to the loader) is mapped into the process.
inline bool ModuleIsMapped(const char* path) {
#ifdef _WIN32
  return GetModuleHandleA(path) != nullptr;
#else
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return false;
  dlclose(handle);
  return true;
#endif
}

// An export of a module that is loaded already, found by name as a host
// finds it; null when the module is not loaded or has no such export.
inline void* ExportOfLoadedModule(const char* path, const char* name) {
#ifdef _WIN32
  HMODULE module = GetModuleHandleA(path);
  return module != nullptr ? reinterpret_cast<void*>(GetProcAddress(module, name)) : nullptr;
#else
  void* handle = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
  if (handle == nullptr) return nullptr;
  void* symbol = dlsym(handle, name);
  dlclose(handle);
  return symbol;
#endif
}

// The address the module holding `address` is mapped at.
inline void* ModuleBaseOf(void* address) {
#ifdef _WIN32
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     static_cast<LPCSTR>(address), &module);
  return reinterpret_cast<void*>(module);
#else
  Dl_info info{};
  return dladdr(address, &info) != 0 ? info.dli_fbase : nullptr;
#endif
}

// What FreeLibrary or its stand-in reports for a module freed as often as
// it was loaded: Windows' loader no longer finds it; the Linux stand-in
// does not know the handle.
constexpr DWORD kUnloadedModuleError =
#ifdef _WIN32
    ERROR_MOD_NOT_FOUND;
#else
    ERROR_INVALID_HANDLE;
#endif

// Moves GetTickCount() by `offset` (0: back to the real clock). Only the
// Linux stand-in can do that; false on Windows, whose counter is the system's.
inline bool SetTickCountOffset(DWORD offset) {
#ifdef _WIN32
  return offset == 0;
#else
  QbSetTickCountOffsetForTesting(offset);
  return true;
#endif
}

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_SUPPORT_TEST_PLATFORM_H
