// The C interface's reasons at their longest: every kind, with the longest
// proxy name (63 bytes), address, bound and error words, fits
// kReasonRoom with its terminator; a name that would not is
// shortened, and the error words stay whole.
#include <gtest/gtest.h>

#include <string>

#include "capi/reason_text.h"

namespace {

using qbsocks_c::Text;

const int kErrors[] = {WSAECONNREFUSED,   WSAETIMEDOUT,    WSAEHOSTUNREACH,   WSAENETUNREACH,
                       WSAHOST_NOT_FOUND, WSATRY_AGAIN,    WSANO_DATA,        WSANO_RECOVERY,
                       WSAECONNRESET,     WSAECONNABORTED, WSAEADDRNOTAVAIL,  WSAEACCES,
                       WSAEMFILE,         WSAENOBUFS,      WSANOTINITIALISED, -2147483647 - 1};

// All bits set: "255.255.255.255:65535", "[ffff:...:ffff]:65535".
SOCKADDR_STORAGE LongestAddress(int family = AF_INET) {
  SOCKADDR_STORAGE peer = {};
  if (family == AF_INET6) memset(&reinterpret_cast<sockaddr_in6&>(peer).sin6_addr, 0xFF, 16);
  else reinterpret_cast<SOCKADDR_IN&>(peer).sin_addr.s_addr = 0xFFFFFFFFu;
  reinterpret_cast<SOCKADDR_IN&>(peer).sin_port = 0xFFFF;  // where sin6_port stands too
  peer.ss_family = static_cast<decltype(peer.ss_family)>(family);
  return peer;
}

class ReasonTextFits : public testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(Families, ReasonTextFits, testing::Values(AF_INET, AF_INET6));

TEST_P(ReasonTextFits, EveryKindAtItsLongest) {
  const std::string name = std::string(55, 'p') + ".invalid";  // 63 bytes: as much as the settings hold
  const SOCKADDR_STORAGE peer = LongestAddress(GetParam());
  for (int step = QBSOCKS_STEP_NONE; step <= QBSOCKS_STEP_TARGET_CONNECT; ++step) {
    for (bool cancelled : {false, true}) {
      const Text reason = qbsocks_c::EndedReason(cancelled, 4294967295u, step, name.c_str(), peer);
      EXPECT_LT(reason.size(), qbsocks_c::kReasonRoom) << reason.c_str();
      if (step == QBSOCKS_STEP_PROXY_LOOKUP) {
        EXPECT_NE(std::string(reason.c_str()).find(name), std::string::npos) << "a name that fits stays whole";
      }
    }
  }
  for (int error : kErrors) {
    const std::string words = std::string(": ") + qbsocks_c::SocketErrorInWords(error).c_str();
    for (auto step : {QBSOCKS_STEP_PROXY_LOOKUP, QBSOCKS_STEP_PROXY_CONNECT, QBSOCKS_STEP_TARGET_CONNECT}) {
      const std::string reason = qbsocks_c::UnreachableReason(step, name.c_str(), peer, error, 16).c_str();
      EXPECT_LT(reason.size(), qbsocks_c::kReasonRoom) << reason;
      EXPECT_NE(reason.find(words), std::string::npos) << "the error's words stay whole: " << reason;
    }
  }
}

// The last address tried in RFC 5952's form, and how many failed.
TEST(ReasonText, LastAddressAndHowManyFailed) {
  SOCKADDR_STORAGE peer = LongestAddress(AF_INET6);
  auto& ipv6 = reinterpret_cast<sockaddr_in6&>(peer);
  const BYTE kAddress[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1};
  memcpy(&ipv6.sin6_addr, kAddress, 16);
  ipv6.sin6_port = htons(80);
  EXPECT_STREQ(qbsocks_c::UnreachableReason(QBSOCKS_STEP_TARGET_CONNECT, "", peer, WSAECONNREFUSED, 3).c_str(),
               "cannot reach the target [2001:db8::1:0:0:1]:80: connection refused (3 addresses failed)");
  memset(&ipv6.sin6_addr, 0, 16);
  ipv6.sin6_addr.s6_addr[15] = 1;
  EXPECT_STREQ(qbsocks_c::EndedReason(false, 5, QBSOCKS_STEP_PROXY_CONNECT, "", peer).c_str(),
               "timed out after 5 ms connecting to the proxy [::1]:80");
}

// A negotiation's at its longest: a 255-byte target name beside the proxy's,
// and the subnegotiation's text with the longest error words.
TEST(ReasonText, NegotiationReasonsFit) {
  const std::string name(63, 'p'), host(255, 'h');
  qbsocks_c::NegotiationFailure failure;
  failure.server = name.c_str(), failure.serverPort = 65535, failure.host = host.c_str(), failure.port = 65535;
  failure.targetFailed = true, failure.text = "Request rejected or failed";
  EXPECT_LT(qbsocks_c::NegotiationReason(failure).size(), qbsocks_c::kReasonRoom);
  failure.targetFailed = false, failure.cause = QBSOCKS_CAUSE_SYSTEM_ERROR, failure.systemError = WSANOTINITIALISED;
  failure.text = "Username/password subnegotition failure";
  EXPECT_LT(qbsocks_c::NegotiationReason(failure).size(), qbsocks_c::kReasonRoom);
}

// An offline resolver's answer for a 63-byte name: the name shortened with
// a marker, the rest whole; a shorter name stays whole.
TEST(ReasonText, ProxyNameShortenedToTheRoomLeft) {
  const std::string name(63, 'n');
  const SOCKADDR_STORAGE peer = LongestAddress();
  const std::string reason =
      qbsocks_c::UnreachableReason(QBSOCKS_STEP_PROXY_LOOKUP, name.c_str(), peer, WSATRY_AGAIN).c_str();
  EXPECT_EQ(reason,
            "cannot look up the proxy's name " + std::string(53, 'n') + "...: name lookup failed for now; try again");
  EXPECT_EQ(reason.size(), qbsocks_c::kReasonRoom - 1);
  EXPECT_STREQ(qbsocks_c::UnreachableReason(QBSOCKS_STEP_PROXY_LOOKUP, "proxy.invalid", peer, WSATRY_AGAIN).c_str(),
               "cannot look up the proxy's name proxy.invalid: name lookup failed for now; try again");
}

// A cut never splits a UTF-8 character: "ü" (two bytes) goes whole.
TEST(ReasonText, ShortenedBetweenCharacters) {
  Text text;
  EXPECT_STREQ(text.AppendShortened("ab\xC3\xBC"
                                    "cdef",
                                    6)
                   .c_str(),
               "ab...");
  EXPECT_STREQ(Text().AppendShortened("abcdef", 6).c_str(), "abcdef");
}

}  // namespace
