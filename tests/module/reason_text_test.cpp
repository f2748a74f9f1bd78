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

SOCKADDR_IN LongestAddress() {
  SOCKADDR_IN peer = {};
  peer.sin_family = AF_INET;
  peer.sin_addr.s_addr = 0xFFFFFFFFu;
  peer.sin_port = 0xFFFF;
  return peer;
}

TEST(ReasonText, EveryKindAtItsLongestFits) {
  const std::string name = std::string(55, 'p') + ".invalid";  // 63 bytes: as much as the settings hold
  const SOCKADDR_IN peer = LongestAddress();
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
    for (auto step : {QBSOCKS_STEP_PROXY_LOOKUP, QBSOCKS_STEP_PROXY_CONNECT}) {
      const std::string reason = qbsocks_c::UnreachableReason(step, name.c_str(), peer, error).c_str();
      EXPECT_LT(reason.size(), qbsocks_c::kReasonRoom) << reason;
      EXPECT_EQ(reason.substr(reason.size() - words.size()), words) << "the error's words stay whole";
    }
  }
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
  const SOCKADDR_IN peer = LongestAddress();
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
