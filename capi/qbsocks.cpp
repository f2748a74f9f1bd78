// The C interface: qbsocks_connect, qbsocks_connect_timeout, qbsocks_route,
// qbsocks_version.
#include "qbsocks.h"

#include "Settings.h"
#include "connecting_socket.h"
#include "socket_handover.h"

#include <string.h>

#include <string>

namespace {

// snprintf's contract: at most size bytes with the terminator; the length
// of the whole text.
size_t CopyText(const std::string& text, char* out, size_t size) {
  if (out != nullptr && size > 0) {
    const size_t n = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(out, text.data(), n);
    out[n] = '\0';
  }
  return text.size();
}

int Failure(int result, const std::string& reason, char* out, size_t size) {
  CopyText(reason, out, size);
  return result;
}

// Which of the connect failures it was: settings that could not be read
// (CSocks's text says so), or from the path the settings chose, whether the
// TCP connect of that path succeeded and what the negotiation reported.
int ConnectFailure(const qbsocks_c::ConnectingSocket& socket, const std::string& reported) {
  if (reported.rfind(QBSOCKS_SETTINGS_UNREADABLE_TEXT, 0) == 0) return QBSOCKS_SETTINGS_UNREADABLE;
  if (!socket.ProxyOn()) return QBSOCKS_TARGET_UNREACHABLE;
  if (!socket.Reached()) return QBSOCKS_PROXY_UNREACHABLE;
  return socket.RefusedTarget(reported) ? QBSOCKS_BAD_TARGET : QBSOCKS_PROXY_FAILED;
}

// What the C functions do; exceptions (only std::bad_alloc can come) stop
// at the C boundary.
int Connect(const char* host, unsigned int port, unsigned int timeout_ms, uintptr_t* socket_out, char* reason,
            size_t reason_size) {
  if (socket_out != nullptr) *socket_out = QBSOCKS_NO_HANDLE;
  CopyText("", reason, reason_size);
  if (host == nullptr || socket_out == nullptr) {
    return Failure(QBSOCKS_BAD_ARGUMENT, "qbsocks_connect needs a host and a place for the socket", reason,
                   reason_size);
  }

  qbsocks_c::ConnectingSocket socket;  // closes what it still holds when it goes
  socket.SetDeadline(timeout_ms);
  if (!socket.Create()) {
    const int error = WSAGetLastError();
    return Failure(QBSOCKS_NO_SOCKET,
                   error == WSANOTINITIALISED ? qbsocks_c::SocketErrorInWords(error)
                                              : "cannot create a socket: " + qbsocks_c::SocketErrorInWords(error),
                   reason, reason_size);
  }
  qbsocks_c::TakeReportedText();  // nothing of an earlier call on this thread
  WSASetLastError(0);
  if (!socket.Connect(host, port)) {
    const int error = WSAGetLastError();
    std::string why = qbsocks_c::TakeReportedText();
    if (socket.TimedOut()) return Failure(QBSOCKS_TIMED_OUT, socket.TimeoutReason(), reason, reason_size);
    const int result = ConnectFailure(socket, why);
    if (why.empty()) why = qbsocks_c::SocketErrorInWords(error);
    return Failure(result, why, reason, reason_size);
  }

  const SOCKET handle = socket.Detach();
  if (!qbafx::sockio::MakeBlocking(handle)) {
    const std::string why = "cannot make the socket blocking: " + qbsocks_c::SocketErrorInWords(WSAGetLastError());
    qbafx::sockio::CloseSocket(handle);
    return Failure(QBSOCKS_NO_SOCKET, why, reason, reason_size);
  }
  *socket_out = static_cast<uintptr_t>(handle);
  return QBSOCKS_OK;
}

}  // namespace

extern "C" {

int QBSOCKS_CALL qbsocks_connect(const char* host, unsigned int port, uintptr_t* socket_out, char* reason,
                                 size_t reason_size) {
  return qbsocks_connect_timeout(host, port, 0, socket_out, reason, reason_size);
}

int QBSOCKS_CALL qbsocks_connect_timeout(const char* host, unsigned int port, unsigned int timeout_ms,
                                         uintptr_t* socket_out, char* reason, size_t reason_size) {
  try {
    return Connect(host, port, timeout_ms, socket_out, reason, reason_size);
  } catch (...) {
    return Failure(QBSOCKS_NO_SOCKET, "out of memory", reason, reason_size);
  }
}

size_t QBSOCKS_CALL qbsocks_route(char* text, size_t size) {
  try {
    return CopyText(qbsocks_c::ConnectingSocket().ReadRoute(), text, size);
  } catch (...) {
    return CopyText("", text, size);
  }
}

const char* QBSOCKS_CALL qbsocks_version(void) { return QBSOCKS_VERSION_TEXT; }

}  // extern "C"
