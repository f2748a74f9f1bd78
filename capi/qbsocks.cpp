// The C interface: qbsocks_connect, qbsocks_connect_timeout,
// qbsocks_connect_ex, the cancel handles, qbsocks_route, qbsocks_proxy_url,
// qbsocks_version.
#include "qbsocks.h"

#include "Settings.h"
#include "connecting_socket.h"
#include "afx/socket_handover.h"

#include <stddef.h>
#include <string.h>

namespace {

using qbsocks_c::Outcome;
using qbsocks_c::Text;

// snprintf's contract: at most size bytes with the terminator; the length
// of the whole text.
size_t CopyText(const Text& text, char* out, size_t size) {
  if (out != nullptr && size > 0) {
    const size_t n = text.size() < size - 1 ? text.size() : size - 1;
    memcpy(out, text.c_str(), n);
    out[n] = '\0';
  }
  return text.size();
}

Outcome Failure(int result, const Text& reason, LONG systemError = 0) {
  Outcome outcome;
  outcome.result = result;
  outcome.cause = result == QBSOCKS_BAD_ARGUMENT ? static_cast<qbfacts::Cause>(QBSOCKS_CAUSE_BAD_ARGUMENT)
                                                 : qbfacts::kSystemError;
  outcome.systemError = systemError;
  outcome.reason = reason;
  return outcome;
}

// What the C functions do.
Outcome Connect(const char* host, unsigned int port, unsigned int timeout_ms, qbsocks_cancel* cancel,
                uintptr_t* socket_out) {
  if (socket_out != nullptr) *socket_out = QBSOCKS_NO_HANDLE;
  if (host == nullptr || socket_out == nullptr) {
    return Failure(QBSOCKS_BAD_ARGUMENT, "qbsocks_connect needs a host and a place for the socket");
  }

  qbsocks_c::ConnectingSocket socket(timeout_ms, cancel);  // closes what it still holds when it goes
  if (!socket.Create()) {
    const int error = WSAGetLastError();
    return Failure(QBSOCKS_NO_SOCKET,
                   error == WSANOTINITIALISED
                       ? qbsocks_c::SocketErrorInWords(error)
                       : Text("cannot create a socket: ").Append(qbsocks_c::SocketErrorInWords(error)),
                   error);
  }
  Outcome outcome;
  if (!socket.ConnectTo(host, port, outcome)) return outcome;

  const SOCKET handle = socket.Detach();
  if (!qbafx::sockio::MakeBlocking(handle)) {
    const int error = WSAGetLastError();
    qbafx::sockio::CloseSocket(handle);
    return Failure(QBSOCKS_NO_SOCKET,
                   Text("cannot make the socket blocking: ").Append(qbsocks_c::SocketErrorInWords(error)), error);
  }
  *socket_out = static_cast<uintptr_t>(handle);
  return outcome;
}

// Exceptions stop at the C boundary: only std::bad_alloc can come, from
// the settings store's parse off Windows (the C++ library's allocations).
// The MSVC-ABI flavour is built without exceptions; nothing there raises
// one.
#ifdef __cpp_exceptions
#define QBSOCKS_C_GUARDED(call, on_exception) \
  try {                                       \
    return call;                              \
  } catch (...) {                             \
    return on_exception;                      \
  }
#else
#define QBSOCKS_C_GUARDED(call, on_exception) return call;
#endif

Outcome GuardedConnect(const char* host, unsigned int port, unsigned int timeout_ms, qbsocks_cancel* cancel,
                       uintptr_t* socket_out){QBSOCKS_C_GUARDED(Connect(host, port, timeout_ms, cancel, socket_out),
                                                                Failure(QBSOCKS_NO_SOCKET, "out of memory"))}

Text GuardedProxyUrl(int& result) {
  QBSOCKS_C_GUARDED(qbsocks_c::ReadProxyUrl(result), Text(QBSOCKS_SETTINGS_UNREADABLE_TEXT ": out of memory"))
}

// The fields of this version; size says how many bytes were filled, so
// that a caller built against a later header sees that its newer fields
// were not. No byte beyond this version's structure is written.
void Deliver(const Outcome& from, qbsocks_outcome* to) {
  qbsocks_outcome out;
  memset(&out, 0, sizeof(out));
  out.size = sizeof(out);
  out.result = from.result;
  out.step = from.step;
  out.cause = from.cause;
  out.proxy_code = from.proxyCode;
  out.system_error = static_cast<int32_t>(from.systemError);
  CopyText(from.reason, out.reason, sizeof(out.reason));
  memcpy(to, &out, sizeof(out));
}

// A later header's options: the bytes beyond this version's fields must
// be zero (options left unset); a non-zero one asks for what this version
// cannot do, and is refused rather than dropped.
bool HasUnknownOptions(const qbsocks_connect_options* options) {
  const unsigned char* bytes = reinterpret_cast<const unsigned char*>(options);
  for (size_t at = sizeof(*options); at < options->size; ++at)
    if (bytes[at] != 0) return true;
  return false;
}

}  // namespace

extern "C" {

int QBSOCKS_CALL qbsocks_connect(const char* host, unsigned int port, uintptr_t* socket_out, char* reason,
                                 size_t reason_size) {
  return qbsocks_connect_timeout(host, port, 0, socket_out, reason, reason_size);
}

int QBSOCKS_CALL qbsocks_connect_timeout(const char* host, unsigned int port, unsigned int timeout_ms,
                                         uintptr_t* socket_out, char* reason, size_t reason_size) {
  const Outcome outcome = GuardedConnect(host, port, timeout_ms, nullptr, socket_out);
  CopyText(outcome.reason, reason, reason_size);
  return outcome.result;
}

int QBSOCKS_CALL qbsocks_connect_ex(const char* host, unsigned int port, const qbsocks_connect_options* options,
                                    uintptr_t* socket_out, qbsocks_outcome* outcome) {
  const char* refusal = nullptr;
  if ((options != nullptr && options->size < sizeof(qbsocks_connect_options)) ||
      (outcome != nullptr && outcome->size < sizeof(qbsocks_outcome))) {
    refusal = "qbsocks_connect_ex needs the sizes of its structures";
  } else if (options != nullptr && HasUnknownOptions(options)) {
    refusal = "qbsocks_connect_ex was given options that this version does not know";
  }
  Outcome result;
  if (refusal != nullptr) {
    if (socket_out != nullptr) *socket_out = QBSOCKS_NO_HANDLE;
    result = Failure(QBSOCKS_BAD_ARGUMENT, refusal);
  } else {
    result = GuardedConnect(host, port, options != nullptr ? options->timeout_ms : 0,
                            options != nullptr ? options->cancel : nullptr, socket_out);
  }
  if (outcome != nullptr && outcome->size >= sizeof(qbsocks_outcome)) Deliver(result, outcome);
  return result.result;
}

qbsocks_cancel* QBSOCKS_CALL qbsocks_cancel_create(void) { return new qbsocks_cancel; }  // NULL when out of memory

void QBSOCKS_CALL qbsocks_cancel_trigger(qbsocks_cancel* cancel) {
  if (cancel == nullptr) return;
  qbafx::LockGuard lock(cancel->lock);
  InterlockedExchange(&cancel->triggered, 1);
  for (qbsocks_c::RunningConnect* running = cancel->running; running != nullptr; running = running->next) {
    running->socket->CancelBlockingCall();
  }
}

void QBSOCKS_CALL qbsocks_cancel_destroy(qbsocks_cancel* cancel) { delete cancel; }

size_t QBSOCKS_CALL qbsocks_route(char* text, size_t size){
    QBSOCKS_C_GUARDED(CopyText(qbsocks_c::ReadRoute(), text, size), CopyText("", text, size))}

size_t QBSOCKS_CALL qbsocks_proxy_url(char* url, size_t size, int* result) {
  int read = QBSOCKS_SETTINGS_UNREADABLE;  // until the read has ended: never "" (direct) for one that did not
  Text text = GuardedProxyUrl(read);
  if (result != nullptr) *result = read;
  const size_t length = CopyText(text, url, size);
  SecureZeroMemory(&text, sizeof(text));  // the password
  return length;
}

const char* QBSOCKS_CALL qbsocks_version(void) { return QBSOCKS_VERSION_TEXT; }

}  // extern "C"
