#include "reason_text.h"

#include "afx/sockio.h"  // sockaddr_in6 (Windows: ws2tcpip.h)

#include <string.h>

// Keeps a function's locals out of its caller's frame.
#if defined(_MSC_VER) && !defined(__clang__)
#define QBSOCKS_C_NOINLINE __declspec(noinline)
#else
#define QBSOCKS_C_NOINLINE __attribute__((noinline))
#endif

namespace qbsocks_c {

Text& Text::Append(const char* text) {
  const size_t room = sizeof(text_) - 1 - size_;
  const size_t length = strlen(text);
  const size_t n = length < room ? length : room;
  memcpy(text_ + size_, text, n);
  size_ += n;
  text_[size_] = '\0';
  return *this;
}

Text& Text::AppendNumber(long number) {
  if (number < 0) Append("-");
  return AppendUnsigned(number < 0 ? 0UL - static_cast<unsigned long>(number) : static_cast<unsigned long>(number));
}

Text& Text::AppendUnsigned(unsigned long number) {
  char digits[24];
  char* p = digits + sizeof(digits) - 1;
  *p = '\0';
  do {
    *--p = static_cast<char>('0' + number % 10);
    number /= 10;
  } while (number != 0);
  return Append(p);
}

Text& Text::AppendShortened(const char* text, size_t room) {
  static const char kMarker[] = "...";
  if (strlen(text) <= room) return Append(text);
  if (room < sizeof(kMarker) - 1) return *this;
  size_t keep = room - (sizeof(kMarker) - 1);
  while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;  // a UTF-8 continuation
  char start[sizeof(text_)];
  memcpy(start, text, keep);
  start[keep] = '\0';
  return Append(start).Append(kMarker);
}

Text SocketErrorInWords(int error) {
  static const struct {
    int number;
    const char* text;
  } kTexts[] = {
      {WSAECONNREFUSED, "connection refused"},
      {WSAETIMEDOUT, "timed out"},
      {WSAEHOSTUNREACH, "host unreachable"},
      {WSAENETUNREACH, "network unreachable"},
      {WSAHOST_NOT_FOUND, "host name not found"},
      {WSATRY_AGAIN, "name lookup failed for now; try again"},
      {WSANO_DATA, "the name has no IPv4 address"},
      {WSANO_RECOVERY, "name lookup failed"},
      {WSAECONNRESET, "connection reset"},
      {WSAECONNABORTED, "connection aborted"},
      {WSAEADDRNOTAVAIL, "address not available"},
      {WSAEACCES, "permission denied"},
      {WSAEMFILE, "too many open sockets"},
      {WSAENOBUFS, "no buffer space for another socket"},
      {WSANOTINITIALISED, "the socket layer is not started (WSAStartup or AfxSocketInit)"},
  };
  for (const auto& known : kTexts)
    if (known.number == error) return known.text;
  return Text("socket error ").AppendNumber(error);
}

namespace {

// The eight groups in hex, the longest run of two or more zero groups (the
// first of equals) as "::", as RFC 5952 writes them.
Text Ipv6Text(const BYTE* bytes) {
  unsigned int groups[8];
  for (int i = 0; i < 8; ++i) groups[i] = static_cast<unsigned int>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
  int runStart = -1, runLength = 1;
  for (int i = 0, length = 0; i < 8; ++i) {
    length = groups[i] == 0 ? length + 1 : 0;
    if (length > runLength) runStart = i - length + 1, runLength = length;
  }
  static const char kDigits[] = "0123456789abcdef";
  Text text;
  for (int i = 0; i < 8; ++i) {
    if (i == runStart) {
      text.Append("::");
      i += runLength - 1;
      continue;
    }
    if (i > 0 && i != runStart + runLength) text.Append(":");
    char digits[5];
    int n = 0;
    for (int shift = 12; shift >= 0; shift -= 4)
      if ((groups[i] >> shift) != 0 || shift == 0) digits[n++] = kDigits[(groups[i] >> shift) & 0xF];
    digits[n] = '\0';
    text.Append(digits);
  }
  return text;
}

}  // namespace

Text AddressText(const SOCKADDR_STORAGE& address) {
  Text text;
  if (address.ss_family == AF_INET) {
    const auto& ipv4 = reinterpret_cast<const SOCKADDR_IN&>(address);
    const unsigned char* lpBytes = reinterpret_cast<const unsigned char*>(&ipv4.sin_addr);
    text.Append(" ");
    for (int i = 0; i < 4; ++i) text.AppendUnsigned(lpBytes[i]).Append(i < 3 ? "." : ":");
    return text.AppendUnsigned(ntohs(ipv4.sin_port));
  }
  if (address.ss_family != AF_INET6) return text;
  const auto& ipv6 = reinterpret_cast<const sockaddr_in6&>(address);
  return text.Append(" [")
      .Append(Ipv6Text(reinterpret_cast<const BYTE*>(&ipv6.sin6_addr)))
      .Append("]:")
      .AppendUnsigned(ntohs(ipv6.sin6_port));
}

namespace {

// before, the proxy's name shortened to the room that after leaves, after.
Text WithName(const Text& before, const char* lpszName, const Text& after) {
  const size_t fixed = before.size() + after.size();
  const size_t room = fixed < kReasonRoom - 1 ? kReasonRoom - 1 - fixed : 0;
  Text text(before);
  return text.AppendShortened(lpszName, room).Append(after);
}

// before, first, middle, second, after: the two names shortened to the
// room the rest leaves, each to half of it at least, the shorter one whole.
Text WithNames(const Text& before, const char* first, const Text& middle, const char* second, const Text& after) {
  const size_t fixed = before.size() + middle.size() + after.size();
  const size_t room = fixed < kReasonRoom - 1 ? kReasonRoom - 1 - fixed : 0;
  const size_t firstLength = strlen(first), secondLength = strlen(second);
  size_t firstRoom = room / 2;
  if (firstLength < firstRoom) firstRoom = firstLength;
  else if (secondLength < room - firstRoom) firstRoom = room - secondLength;
  Text text(before);
  text.AppendShortened(first, firstRoom).Append(middle);
  return text.AppendShortened(second, room - (text.size() - before.size() - middle.size())).Append(after);
}

// What the connect was doing in the step, with whom: the proxy's address
// after its connect, the target's in place of "the target" once known.
Text StepInWords(int step, const SOCKADDR_STORAGE& peer) {
#define QBSOCKS_C_DOING(name, number, result, what, doing) doing,
  static const char* const kDoing[] = {QBSOCKS_STEPS(QBSOCKS_C_DOING)};
#undef QBSOCKS_C_DOING
  const Text address = AddressText(peer);
  if (step < 0 || step >= kSteps) return "";
  if (step == QBSOCKS_STEP_TARGET_CONNECT && !address.empty()) return Text("connecting to").Append(address);
  return step == QBSOCKS_STEP_PROXY_CONNECT ? Text(kDoing[step]).Append(address) : Text(kDoing[step]);
}

// An IPv6 address in brackets, so that its port stands apart: "[::1]:1080".
Text Bracketed(const char* hostText) {
  if (memchr(hostText, ':', strlen(hostText)) == nullptr || hostText[0] == '[') return hostText;
  return Text("[").Append(hostText).Append("]");
}

}  // namespace

Text EndedReason(bool bCancelled, unsigned int timeoutMs, int step, const char* lpszServer,
                 const SOCKADDR_STORAGE& peer) {
  Text before;
  if (bCancelled && step == QBSOCKS_STEP_NONE) return "cancelled before the connect began";
  if (bCancelled) before.Append("cancelled while ");
  else before.Append("timed out after ").AppendUnsigned(timeoutMs).Append(" ms ");
  before.Append(StepInWords(step, peer));
  if (step != QBSOCKS_STEP_PROXY_LOOKUP) return before;
  return WithName(before.Append(" "), lpszServer, "");  // the proxy's name after its lookup
}

Text UnreachableReason(int step, const char* lpszServer, const SOCKADDR_STORAGE& peer, int error, int failed) {
  const Text words = Text(": ").Append(SocketErrorInWords(error));
  if (step == QBSOCKS_STEP_PROXY_LOOKUP) return WithName("cannot look up the proxy's name ", lpszServer, words);
  const char* const start =
      step == QBSOCKS_STEP_TARGET_CONNECT ? "cannot reach the target" : "cannot reach the proxy";
  Text text(start);
  text.Append(AddressText(peer)).Append(words);
  if (text.size() >= kReasonRoom) text = Text(start).Append(words);  // the longest IPv6 address beside long words
  // How many failed, where it fits: the address and the error say the most.
  const Text count = Text(" (").AppendNumber(failed).Append(" addresses failed)");
  if (failed > 1 && text.size() + count.size() < kReasonRoom) text.Append(count);
  return text;
}

namespace {

// Each kind of negotiation reason in a frame of its own: their texts
// together would pass the 4 KB that Windows wants probed page by page (a
// run-time helper the MSVC-ABI flavour does not link).
QBSOCKS_C_NOINLINE Text TargetFailedReason(const NegotiationFailure& failure, const Text& proxy) {
  const Text middle = Text(":").AppendUnsigned(failure.serverPort).Append(" could not connect to ");
  const Text after =
      Text(":").AppendUnsigned(failure.port).Append(": ").Append(failure.text != nullptr ? failure.text : "");
  return WithNames(Text("the ").Append(proxy), Bracketed(failure.server).c_str(), middle,
                   Bracketed(failure.host).c_str(), after);
}

// The negotiation's text, then what ended it where the text does not say.
QBSOCKS_C_NOINLINE Text ProxyFailedReason(const NegotiationFailure& failure, const Text& proxy) {
  const char* text = failure.text != nullptr ? failure.text : "";
  Text detail;
  if (failure.cause == QBSOCKS_CAUSE_CLOSED) detail = "closed by the proxy";
  if (failure.cause == QBSOCKS_CAUSE_NO_ANSWER)
    detail = Text("no whole reply within ").AppendUnsigned(failure.waitedMs).Append(" ms");
  if (failure.cause == QBSOCKS_CAUSE_SYSTEM_ERROR) detail = SocketErrorInWords(failure.systemError);
  Text after = Text(":").AppendUnsigned(failure.serverPort).Append(": ");
  if (*text == '\0') after.Append(detail);
  else if (detail.empty()) after.Append(text);
  else after.Append(text).Append(" (").Append(detail).Append(")");
  return WithName(proxy, Bracketed(failure.server).c_str(), after);
}

}  // namespace

Text NegotiationReason(const NegotiationFailure& failure) {
  const Text proxy = Text("SOCKS").AppendNumber(failure.version).Append(" proxy ");
  return failure.targetFailed ? TargetFailedReason(failure, proxy) : ProxyFailedReason(failure, proxy);
}

}  // namespace qbsocks_c
