// The C interface's texts: a fixed buffer (Text), the system's errors in
// words, and the reasons a failed connect gives. Every reason fits
// kReasonRoom bytes with its terminator: the one part of a reason
// that can be long, the proxy's name, is shortened to the room the rest
// leaves. Apart from the connect, so that the longest reason of each kind
// can be formed and measured on its own.
#ifndef QBSOCKS_CAPI_REASON_TEXT_H
#define QBSOCKS_CAPI_REASON_TEXT_H

#include "qbsocks.h"
#include "win32.h"

#include <stddef.h>

namespace qbsocks_c {

// The room a connect's reason fits, its terminator included: the
// QBSOCKS_REASON_SIZE of earlier headers, which their hosts' buffers have.
constexpr size_t kReasonRoom = 128;
static_assert(kReasonRoom <= QBSOCKS_REASON_SIZE, "a reason fits qbsocks_outcome.reason");

// qbsocks.h's lists agree with its constants and run in the order of the
// numbers from 0, so that a table made from a list is indexed by number.
template <size_t N>
constexpr bool NumberedInOrder(const int (&numbers)[N]) {
  for (size_t i = 0; i < N; ++i)
    if (numbers[i] != static_cast<int>(i)) return false;
  return true;
}
#define QBSOCKS_C_RESULT_NUMBER(name, number) (QBSOCKS_##name == (number) ? (number) : -1),
#define QBSOCKS_C_STEP_NUMBER(name, number, result, what, doing) \
  (QBSOCKS_STEP_##name == (number) && QBSOCKS_##result > QBSOCKS_OK ? (number) : -1),
#define QBSOCKS_C_CAUSE_NUMBER(name, number) (QBSOCKS_CAUSE_##name == (number) ? (number) : -1),
constexpr int kResultNumbers[] = {QBSOCKS_RESULTS(QBSOCKS_C_RESULT_NUMBER)};
constexpr int kStepNumbers[] = {QBSOCKS_STEPS(QBSOCKS_C_STEP_NUMBER)};
constexpr int kCauseNumbers[] = {QBSOCKS_CAUSES(QBSOCKS_C_CAUSE_NUMBER)};
static_assert(NumberedInOrder(kResultNumbers), "QBSOCKS_RESULTS: the QBSOCKS_* numbers, in order");
static_assert(NumberedInOrder(kStepNumbers), "QBSOCKS_STEPS: the QBSOCKS_STEP_* numbers, in order; failing results");
static_assert(NumberedInOrder(kCauseNumbers), "QBSOCKS_CAUSES: the QBSOCKS_CAUSE_* numbers, in order");
#undef QBSOCKS_C_RESULT_NUMBER
#undef QBSOCKS_C_STEP_NUMBER
#undef QBSOCKS_C_CAUSE_NUMBER
// How many steps there are: a step below it indexes a table of QBSOCKS_STEPS.
constexpr int kSteps = sizeof(kStepNumbers) / sizeof(kStepNumbers[0]);

// A text in a fixed buffer, cut short at its end: the C interface's texts
// (a reason, a route) are all far shorter. No C++ standard library here:
// the MSVC-ABI flavour has none.
class Text {
 public:
  Text() { text_[0] = '\0'; }
  Text(const char* text) : Text() { Append(text); }

  Text& Append(const char* text);
  Text& Append(const Text& text) { return Append(text.c_str()); }
  // In decimal; 32 bits each on Windows, where no 64-bit division helper
  // of a C run-time is at hand on x86.
  Text& AppendNumber(long number);
  Text& AppendUnsigned(unsigned long number);
  // text whole when it has room bytes or fewer, else its start and "..."
  // in room bytes, cut between two UTF-8 characters.
  Text& AppendShortened(const char* text, size_t room);

  const char* c_str() const { return text_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

 private:
  char text_[512];
  size_t size_ = 0;
};

// A socket error in words ("connection refused"), or "socket error N".
Text SocketErrorInWords(int error);

// " 10.0.0.5:1080" of an IPv4 socket address, " [2001:db8::5]:1080" of an
// IPv6 one (RFC 5952's short form); nothing before one is known.
Text AddressText(const SOCKADDR_STORAGE& address);

// The reason of a connect that the caller's bound (timeoutMs) or cancel
// ended in step (QBSOCKS_STEP_*): "timed out after 2000 ms waiting for the proxy's reply",
// "cancelled while connecting to the proxy 127.0.0.1:1080"; peer is the
// last address tried.
Text EndedReason(bool bCancelled, unsigned int timeoutMs, int step, const char* lpszServer,
                 const SOCKADDR_STORAGE& peer);

// The reason of a proxy, or a target found by its name, that cannot be
// reached: "cannot look up the proxy's name proxy.example: host name not
// found", "cannot reach the proxy 127.0.0.1:1080: connection refused",
// "cannot reach the target [::1]:80: connection refused (2 addresses
// failed)". peer is the last address tried; failed, how many failed (the
// count is said from 2, where it fits).
Text UnreachableReason(int step, const char* lpszServer, const SOCKADDR_STORAGE& peer, int error, int failed = 1);

// A failure in the negotiation with the proxy, as its reason tells it.
struct NegotiationFailure {
  int version = 5;                 // SocksVersion, 4 or 5
  const char* server = "";         // the proxy as the settings name it
  unsigned long serverPort = 0;    // and its port
  const char* host = "";           // the target as the caller gave it
  unsigned int port = 0;           // and its port
  int cause = QBSOCKS_CAUSE_NONE;  // QBSOCKS_CAUSE_*
  bool targetFailed = false;       // the proxy's code says it could not reach the target
  int systemError = 0;             // a Windows Sockets number; 0: none
  const char* text = nullptr;      // the negotiation's own text; null: none
  unsigned int waitedMs = 0;       // QBSOCKS_CAUSE_NO_ANSWER: how long the reply was waited for
};

// The reason of a failure once connected to the proxy, the proxy named and
// the negotiation's text kept inside: "the SOCKS5 proxy 127.0.0.1:1080
// could not connect to 10.0.0.5:80: Connection refused" where the proxy's
// code told of the target; else the proxy, its text, and what ended it
// where the text does not say: "SOCKS4 proxy 127.0.0.1:1080: General
// negotiation failure (no whole reply within 10000 ms)", "SOCKS5 proxy
// 127.0.0.1:1080: Username/password subnegotition failure (connection
// reset)".
Text NegotiationReason(const NegotiationFailure& failure);

}  // namespace qbsocks_c

#endif  // QBSOCKS_CAPI_REASON_TEXT_H
