// The wake of afx/wake.h on Windows: a UDP socket connected to itself.
#include "afx/wake.h"

#include "win32.h"

#include "win/system_calls.h"

#ifndef WSA_FLAG_NO_HANDLE_INHERIT
#define WSA_FLAG_NO_HANDLE_INHERIT 0x80
#endif

namespace qbafx {

namespace {
const uintptr_t kNone = ~static_cast<uintptr_t>(0);

// The system's own calls, not the test-replaceable table: a test that makes
// the connects' socket calls fail must not take the wake down with them.
namespace native = qbplatform::native;
}  // namespace

// A UDP socket connected to itself: what it sends, it reads, and WSAPoll
// and select watch it like any socket.
bool Wake::Open() {
  SOCKET s = native::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, NULL, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET && WSAGetLastError() == WSAEINVAL) {
    s = native::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, NULL, 0, 0);  // before Windows 7 SP1
  }
  if (s == INVALID_SOCKET) return false;
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof(address);
  u_long nonBlocking = 1;
  if (native::bind(s, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      native::getsockname(s, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      native::connect(s, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      native::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
    const int error = WSAGetLastError();
    native::closesocket(s);
    WSASetLastError(error);
    return false;
  }
  handle_ = static_cast<uintptr_t>(s);
  return true;
}

Wake::~Wake() {
  if (handle_ != kNone) native::closesocket(static_cast<SOCKET>(handle_));
}

// A send that fails because the buffer is full leaves it readable all the same.
void Wake::Signal() {
  const int error = WSAGetLastError();
  const char byte = 1;
  native::send(static_cast<SOCKET>(handle_), &byte, 1, 0);
  WSASetLastError(error);
}

void Wake::Clear() {
  const int error = WSAGetLastError();
  char bytes[64];
  while (native::recv(static_cast<SOCKET>(handle_), bytes, sizeof(bytes), 0) > 0) {
  }
  WSASetLastError(error);
}

}  // namespace qbafx
