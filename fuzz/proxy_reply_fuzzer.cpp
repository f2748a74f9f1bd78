// Arbitrary bytes as a proxy's side of the conversation, fed to each SOCKS
// negotiation of CSocks over a socket pair: SOCKS4, SOCKS5 without
// credentials and SOCKS5 with credentials to a target given by name.
//
// The input is written to the proxy's end before the negotiation starts and
// that end is shut for writing, so every receive finds data or the end of
// the stream and no run waits for the ten-second limit. Besides the
// sanitizers, each run checks what a host relies on:
//   - a failure closes the socket and reports once; a success keeps it
//     open and reports nothing;
//   - after a success the stream holds exactly the bytes behind the reply
//     (nothing of the reply left in it, nothing of the target's taken);
//   - the client sends the SOCKS5 subnegotiation only when the proxy chose
//     it, and the CONNECT request only after an accepted method.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "CSocks.h"
#include "socks/Negotiation.h"

namespace {

int reported = 0;

// Replies are at most a few hundred bytes; the cap keeps the whole input
// within the socket pair's buffer, so writing it never blocks.
constexpr size_t kMaxInput = 4096;

struct Negotiation {
  const char* name;
  int version;
  const char* host;
  unsigned port;
  const char* user;
  const char* password;
};

const Negotiation kNegotiations[] = {
    {"socks4", 4, "10.0.0.1", 80, "", ""},
    {"socks5", 5, "1.2.3.4", 80, "", ""},
    {"socks5-auth", 5, "target.example", 443, "user", "secret"},
};

class FuzzSocks : public CSocks {
 public:
  using CSocks::Socks4Connect;
  using CSocks::Socks5Connect;

  void SetCredentials(const char* user, const char* password) {
    snprintf(m_szUserName, sizeof(m_szUserName), "%s", user);
    snprintf(m_szPassword, sizeof(m_szPassword), "%s", password);
  }
  bool IsOpen() const { return m_hSocket != INVALID_SOCKET; }
  int Fd() const { return static_cast<int>(m_hSocket); }
};

[[noreturn]] void Fail(const Negotiation& n, const char* what) {
  fprintf(stderr, "%s: %s\n", n.name, what);
  abort();
}

// How many bytes of the input a successful negotiation consumes, read the
// way RFC 1928/1929 and the SOCKS4 protocol frame the replies.
std::optional<size_t> ReplyBytes(const Negotiation& n, const std::string& input) {
  if (n.version == 4) return 8;
  if (input.size() < 2) return std::nullopt;
  size_t at = 2;
  if (static_cast<uint8_t>(input[1]) == 2) at += 2;
  if (input.size() < at + 5) return std::nullopt;
  switch (input[at + 3]) {
    case 1: return at + 4 + 4 + 2;
    case 3: return at + 4 + 1 + static_cast<uint8_t>(input[at + 4]) + 2;
    case 4: return at + 4 + 16 + 2;
    default: return std::nullopt;
  }
}

std::string ReadAll(int fd) {
  std::string out;
  char buffer[4096];
  for (;;) {
    const ssize_t got = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (got <= 0) return out;
    out.append(buffer, static_cast<size_t>(got));
  }
}

void CheckClientBytes(const Negotiation& n, const std::string& input, const std::string& sent) {
  if (n.version != 5) return;
  const std::string offer(reinterpret_cast<const char*>(kSocks5MethodOffer), sizeof(kSocks5MethodOffer));
  if (sent.compare(0, offer.size(), offer) != 0) Fail(n, "the method offer is not first");
  const std::string after = sent.substr(offer.size());
  const bool chose_none = input.size() >= 2 && input[0] == 5 && input[1] == 0;
  const bool chose_auth = input.size() >= 2 && input[0] == 5 && input[1] == 2;
  if (!chose_none && !chose_auth && !after.empty()) Fail(n, "bytes sent after a refused method");
  if (chose_auth) {
    BYTE request[kRequestBufferSize] = {};
    const int length = BuildSocks5AuthRequest(request, n.user, static_cast<int>(strlen(n.user)), n.password,
                                              static_cast<int>(strlen(n.password)));
    const std::string auth(reinterpret_cast<const char*>(request), length);
    if (after.compare(0, auth.size(), auth) != 0) Fail(n, "chosen subnegotiation not sent");
  }
  if (chose_none && !after.empty() && after[0] != 5) Fail(n, "subnegotiation sent unasked");
}

void Run(const Negotiation& n, const std::string& input) {
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) abort();
  const int proxy = ends[1];
  if (send(proxy, input.data(), input.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(input.size())) {
    abort();
  }
  shutdown(proxy, SHUT_WR);

  FuzzSocks socks;
  if (!socks.Attach(static_cast<SOCKET>(ends[0]))) abort();
  socks.SetCredentials(n.user, n.password);
  reported = 0;
  const int result = n.version == 4 ? socks.Socks4Connect(n.host, n.port) : socks.Socks5Connect(n.host, n.port);

  if (result == 1) {
    if (!socks.IsOpen()) Fail(n, "success with a closed socket");
    if (reported != 0) Fail(n, "success reported a message");
    const std::optional<size_t> consumed = ReplyBytes(n, input);
    if (!consumed || *consumed > input.size()) Fail(n, "success on an incomplete reply");
    if (ReadAll(socks.Fd()) != input.substr(*consumed)) {
      Fail(n, "the stream after the reply is not the proxy's remaining bytes");
    }
  } else {
    if (result != 0) Fail(n, "result neither 0 nor 1");
    if (socks.IsOpen()) Fail(n, "failure left the socket open");
    if (reported > 1) Fail(n, "more than one message for one failure");
  }
  CheckClientBytes(n, input, ReadAll(proxy));
  close(proxy);
}

}  // namespace

int CSocks::MyMessageBox(const char* lpszText) {
  if (lpszText == NULL || lpszText[0] == '\0') abort();
  ++reported;
  return 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > kMaxInput) return -1;  // not added to the corpus
  const std::string input(reinterpret_cast<const char*>(data), size);
  for (const Negotiation& n : kNegotiations) Run(n, input);
  return 0;
}
