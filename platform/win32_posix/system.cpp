// The Win32 system services that QBSocks32 uses, on POSIX: the user name,
// the tick counter (over the one monotonic clock), string length, the last
// error, and the start-up calls of Windows Sockets.
#include "win32.h"

#include "clock.h"
#include "platform_testing.h"
#include "posix/system_calls.h"

#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace {

// One slot for both GetLastError and WSAGetLastError, per thread, as on
// Windows where the Winsock pair is a thin wrapper over the kernel pair.
thread_local DWORD t_lastError = ERROR_SUCCESS;

std::atomic<DWORD> g_tickOffset{0};
std::atomic<int> g_wsaStartups{0};

constexpr WORD kHighestWinsockVersion = MAKEWORD(2, 2);

std::optional<std::string> EffectiveUserName() {
  long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> scratch(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    int rc = qbplatform::sys::getpwuid_r(qbplatform::sys::geteuid(), &entry, scratch.data(), scratch.size(), &found);
    if (rc == ERANGE && scratch.size() < (1u << 20)) {
      scratch.resize(scratch.size() * 2);
      continue;
    }
    if (rc != 0 || found == nullptr || found->pw_name == nullptr) return std::nullopt;
    return std::string(found->pw_name);
  }
}

// Winsock versions compare by major number first, then minor.
int VersionRank(WORD version) { return (version & 0xff) * 256 + (version >> 8); }

unsigned short MaxSocketsHint() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 32767;
  return static_cast<unsigned short>(std::min<rlim_t>(limit.rlim_cur, 32767));
}

}  // namespace

namespace qbplatform {

DWORD MonotonicMilliseconds() noexcept {
  timespec now{};
  sys::clock_gettime(CLOCK_MONOTONIC, &now);
  const uint64_t ms = static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<DWORD>(ms);
}

}  // namespace qbplatform

extern "C" {

BOOL GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer) {
  if (pcbBuffer == NULL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::optional<std::string> name = EffectiveUserName();
  if (!name) {
    SetLastError(ERROR_NONE_MAPPED);
    return FALSE;
  }
  const DWORD needed = static_cast<DWORD>(name->size() + 1);
  if (*pcbBuffer < needed) {
    *pcbBuffer = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (lpBuffer == NULL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::memcpy(lpBuffer, name->c_str(), needed);
  *pcbBuffer = needed;
  return TRUE;
}

DWORD GetTickCount(void) {
  return qbplatform::MonotonicMilliseconds() + g_tickOffset.load(std::memory_order_relaxed);
}

void QbSetTickCountOffsetForTesting(DWORD offset) { g_tickOffset.store(offset, std::memory_order_relaxed); }

int lstrlenA(LPCSTR lpString) { return lpString == NULL ? 0 : static_cast<int>(std::strlen(lpString)); }

DWORD GetLastError(void) { return t_lastError; }

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

int WSAGetLastError(void) { return static_cast<int>(t_lastError); }

void WSASetLastError(int iError) { t_lastError = static_cast<DWORD>(iError); }

void* SecureZeroMemory(void* ptr, size_t cnt) {
  // Writes through a volatile pointer are observable behaviour, so the
  // compiler may not drop them even when the memory is freed right after.
  volatile unsigned char* p = static_cast<volatile unsigned char*>(ptr);
  while (cnt-- > 0) *p++ = 0;
  return ptr;
}

int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData) {
  if (lpWSAData == NULL) return WSAEFAULT;
  if ((wVersionRequested & 0xff) < 1) return WSAVERNOTSUPPORTED;
  std::memset(lpWSAData, 0, sizeof(*lpWSAData));
  lpWSAData->wHighVersion = kHighestWinsockVersion;
  lpWSAData->wVersion = VersionRank(wVersionRequested) < VersionRank(kHighestWinsockVersion) ? wVersionRequested
                                                                                             : kHighestWinsockVersion;
  std::snprintf(lpWSAData->szDescription, sizeof(lpWSAData->szDescription),
                "QBSocks32 Windows Sockets over POSIX sockets");
  std::snprintf(lpWSAData->szSystemStatus, sizeof(lpWSAData->szSystemStatus), "Running");
  lpWSAData->iMaxSockets = MaxSocketsHint();
  lpWSAData->iMaxUdpDg = 65507;  // largest IPv4 UDP payload
  g_wsaStartups.fetch_add(1);
  return 0;
}

int WSACleanup(void) {
  int count = g_wsaStartups.load();
  while (count > 0 && !g_wsaStartups.compare_exchange_weak(count, count - 1)) {
  }
  if (count <= 0) {
    WSASetLastError(WSANOTINITIALISED);
    return SOCKET_ERROR;
  }
  return 0;
}

}  // extern "C"
