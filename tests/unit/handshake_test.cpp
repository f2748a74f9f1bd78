// The negotiations as values (Handshake), with no socket: each row is a
// proxy's side as a script of events, what the client must have sent, what
// the proxy's bytes must still hold (nothing beyond a reply is taken), and
// how the handshake ends.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "socks/Handshake.h"
#include "requests.h"

namespace qbtest {
namespace {

using Want = qbproxy::Handshake::Want;

// Script events that are no bytes from the proxy.
const std::string kClose = "<close>", kLate = "<late>", kReset = "<reset>", kSendFails = "<send fails>";
const LONG kError = WSAECONNRESET;

struct HandshakeRow {
  const char* name;
  int version;                         // 4, 5, or 0: the username/password subnegotiation alone
  std::string target, user, password;  // SOCKS4 sends `user` as its USERID
  std::vector<std::string> proxy;      // the proxy's pieces and events, in order
  std::string sent, left;              // all the client sent; what it did not read
  Want end;
  int step, cause, code;
  const char* text;
  qbproxy::Handshake::Targets targets = qbproxy::Handshake::Targets::kIpv4;  // kIpv4AndIpv6: the C interface's
};

const auto kV6 = qbproxy::Handshake::Targets::kIpv4AndIpv6;
// ATYP 4: the 16 bytes of an IPv6 address, then the port (80).
std::string S5Ipv6(const std::string& address) {
  return kSocks5Offer + Bytes({5, 1, 0, 4}) + address + Bytes({0, 80});
}
const std::string kS5Request = Socks5Request({1, 2, 3, 4}, 80),
                  kLongName(256, 'a'), kName4 = Socks5Reply(0, 3, Bytes({4}) + "wxyz");
const std::string kAuth = Socks5AuthRequest("alice", "s3cret"), kIPv6Reply = Socks5Reply(0, 4, std::string(16, 1));
std::string S4(const std::string& id = "alice") { return Socks4Request({10, 0, 0, 1}, 80, id); }

// clang-format off
const HandshakeRow kRows[] = {
    {"s4_granted_rest_untouched", 4, "10.0.0.1", "alice", "", {Socks4Reply(0, 90) + "data"}, S4(), "data", Want::kDone, QBSOCKS_STEP_NONE, QBSOCKS_CAUSE_NONE, -1, nullptr},
    {"s4_reply_in_pieces", 4, "10.0.0.1", "alice", "", {Bytes({0}), Bytes({90, 0, 80}), Bytes({10, 0, 0})}, S4(), "", Want::kReceive, QBSOCKS_STEP_REPLY, QBSOCKS_CAUSE_NONE, -1, nullptr},
    {"s4_refused_at_status", 4, "10.0.0.1", "alice", "", {Bytes({0, 91})}, S4(), "", Want::kFailed, QBSOCKS_STEP_REPLY, QBSOCKS_CAUSE_REFUSED, 91, kSocks4Rejected},
    {"s4_unknown_code", 4, "10.0.0.1", "alice", "", {Socks4Reply(0, 94)}, S4(), "", Want::kFailed, QBSOCKS_STEP_REPLY, QBSOCKS_CAUSE_REFUSED, 94, kGeneralFailure},
    {"s4_name_before_user_id", 4, "host10.example", "alice", "", {}, "", "", Want::kFailed, QBSOCKS_STEP_REQUEST, QBSOCKS_CAUSE_BAD_TARGET, -1, kSocks4NoNames},
    {"s4_no_address", 4, "255.255.255.255", "alice", "", {}, "", "", Want::kFailed, QBSOCKS_STEP_REQUEST, QBSOCKS_CAUSE_BAD_TARGET, -1, kResolveFailure},
    {"s4_user_id_too_long_sent_empty", 4, "10.0.0.1", kLongName, "", {Socks4Reply(0, 90)}, S4(""), "", Want::kDone, QBSOCKS_STEP_NONE, QBSOCKS_CAUSE_NONE, -1, nullptr},
    {"s4_closed_mid_reply", 4, "10.0.0.1", "alice", "", {Bytes({0, 90, 0}), kClose}, S4(), "", Want::kFailed, QBSOCKS_STEP_REPLY, QBSOCKS_CAUSE_CLOSED, -1, kGeneralFailure},
    {"s4_request_not_sent", 4, "10.0.0.1", "alice", "", {kSendFails}, "", "", Want::kFailed, QBSOCKS_STEP_REQUEST, QBSOCKS_CAUSE_SYSTEM_ERROR, -1, nullptr},
    {"s5_ipv4_rest_untouched", 5, "1.2.3.4", "", "", {kNoAuthChoice + kSocks5Succeeded + "data"}, kSocks5Offer + kS5Request, "data", Want::kDone, QBSOCKS_STEP_NONE, QBSOCKS_CAUSE_NONE, -1, nullptr},
    {"s5_name_reply_by_its_length", 5, "abc", "", "", {kNoAuthChoice, kName4.substr(0, 6), kName4.substr(6) + "data"}, kSocks5Offer + Socks5NameRequest("abc", 80), "data", Want::kDone, QBSOCKS_STEP_NONE, QBSOCKS_CAUSE_NONE, -1, nullptr},
    {"s5_shortest_reply", 5, "1.2.3.4", "", "", {kNoAuthChoice, Socks5Reply(0, 3, Bytes({0})) + "data"}, kSocks5Offer + kS5Request, "data", Want::kDone, QBSOCKS_STEP_NONE, QBSOCKS_CAUSE_NONE, -1, nullptr},
    {"s5_reply_received_after_ten_seconds", 5, "1.2.3.4", "", "", {kNoAuthChoice, kLate, kSocks5Succeeded}, kSocks5Offer + kS5Request, "", Want::kDone, QBSOCKS_STEP_NONE, QBSOCKS_CAUSE_NONE, -1, nullptr},
    {"s5_ipv6_reply_late", 5, "1.2.3.4", "", "", {kNoAuthChoice, kIPv6Reply.substr(0, 20), kLate}, kSocks5Offer + kS5Request, "", Want::kFailed, QBSOCKS_STEP_REPLY, QBSOCKS_CAUSE_NO_ANSWER, -1, kGeneralFailure},
    {"s5_refused_at_status", 5, "1.2.3.4", "", "", {kNoAuthChoice, Bytes({5, 5})}, kSocks5Offer + kS5Request, "", Want::kFailed, QBSOCKS_STEP_REPLY, QBSOCKS_CAUSE_REFUSED, 5, kConnectionRefused},
    {"s5_unknown_address_type", 5, "1.2.3.4", "", "", {kNoAuthChoice, Bytes({5, 0, 0, 7, 0, 0, 0}) + "data"}, kSocks5Offer + kS5Request, "data", Want::kFailed, QBSOCKS_STEP_REPLY, QBSOCKS_CAUSE_BAD_REPLY, -1, kGeneralFailure},
    {"s5_no_acceptable_method", 5, "1.2.3.4", "", "", {Bytes({5, 0xFF}) + "data"}, kSocks5Offer, "data", Want::kFailed, QBSOCKS_STEP_METHOD, QBSOCKS_CAUSE_REFUSED, 255, kNoMethodFailure},
    {"s5_method_not_offered", 5, "1.2.3.4", "", "", {Bytes({5, 1})}, kSocks5Offer, "", Want::kFailed, QBSOCKS_STEP_METHOD, QBSOCKS_CAUSE_BAD_REPLY, -1, kNoMethodFailure},
    {"s5_choice_version", 5, "1.2.3.4", "", "", {Bytes({4, 0})}, kSocks5Offer, "", Want::kFailed, QBSOCKS_STEP_METHOD, QBSOCKS_CAUSE_BAD_REPLY, -1, kSocks5VersionFailure},
    {"s5_choice_reset", 5, "1.2.3.4", "", "", {Bytes({5}), kReset}, kSocks5Offer, "", Want::kFailed, QBSOCKS_STEP_METHOD, QBSOCKS_CAUSE_SYSTEM_ERROR, -1, kGeneralFailure},
    {"s5_password", 5, "1.2.3.4", "alice", "s3cret", {kPasswordChoice, kAuthAccepted, kSocks5Succeeded}, kSocks5Offer + kAuth + kS5Request, "", Want::kDone, QBSOCKS_STEP_NONE, QBSOCKS_CAUSE_NONE, -1, nullptr},
    {"s5_password_status_only", 5, "1.2.3.4", "alice", "s3cret", {kPasswordChoice, Bytes({7, 1})}, kSocks5Offer + kAuth, "", Want::kFailed, QBSOCKS_STEP_AUTH, QBSOCKS_CAUSE_REFUSED, 1, kAuthFailure},
    {"s5_password_not_sent", 5, "1.2.3.4", "alice", "s3cret", {kPasswordChoice, kSendFails}, kSocks5Offer, "", Want::kFailed, QBSOCKS_STEP_AUTH, QBSOCKS_CAUSE_SYSTEM_ERROR, -1, kAuthFailure},
    {"s5_target_after_method", 5, "1.2.3.4.5", "", "", {kNoAuthChoice}, kSocks5Offer, "", Want::kFailed, QBSOCKS_STEP_REQUEST, QBSOCKS_CAUSE_BAD_TARGET, -1, kResolveFailure},
    {"s5_name_too_long", 5, kLongName, "", "", {kNoAuthChoice}, kSocks5Offer, "", Want::kFailed, QBSOCKS_STEP_REQUEST, QBSOCKS_CAUSE_BAD_TARGET, -1, kResolveFailure},
    {"s5_request_not_sent", 5, "1.2.3.4", "", "", {kNoAuthChoice, kSendFails}, kSocks5Offer, "", Want::kFailed, QBSOCKS_STEP_REQUEST, QBSOCKS_CAUSE_SYSTEM_ERROR, -1, nullptr},
    {"s5_ipv6_loopback_atyp4", 5, "::1", "", "", {kNoAuthChoice, kSocks5Succeeded}, S5Ipv6(std::string(15, 0) + "\x01"), "", Want::kDone, QBSOCKS_STEP_NONE, QBSOCKS_CAUSE_NONE, -1, nullptr, kV6},
    {"s5_ipv6_bracketed_with_letters", 5, "[2001:DB8::a:1]", "", "", {kNoAuthChoice, kSocks5Succeeded}, S5Ipv6(Bytes({0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x0a, 0, 1})), "", Want::kDone, QBSOCKS_STEP_NONE, QBSOCKS_CAUSE_NONE, -1, nullptr, kV6},
    {"s5_ipv6_dotted_tail", 5, "::ffff:10.0.0.1", "", "", {kNoAuthChoice, kSocks5Succeeded}, S5Ipv6(std::string(10, 0) + Bytes({255, 255, 10, 0, 0, 1})), "", Want::kDone, QBSOCKS_STEP_NONE, QBSOCKS_CAUSE_NONE, -1, nullptr, kV6},
    {"s5_two_gaps_no_address", 5, "1::2::3", "", "", {kNoAuthChoice}, kSocks5Offer, "", Want::kFailed, QBSOCKS_STEP_REQUEST, QBSOCKS_CAUSE_BAD_TARGET, -1, kResolveFailure, kV6},
    {"s5_class_sends_ipv6_text_as_name", 5, "2001:db8::1", "", "", {kNoAuthChoice, kSocks5Succeeded}, kSocks5Offer + Socks5NameRequest("2001:db8::1", 80), "", Want::kDone, QBSOCKS_STEP_NONE, QBSOCKS_CAUSE_NONE, -1, nullptr},
    {"s4_ipv6_refused_before_user_id", 4, "::1", "alice", "", {}, "", "", Want::kFailed, QBSOCKS_STEP_REQUEST, QBSOCKS_CAUSE_BAD_TARGET, -1, kSocks4NoIpv6, kV6},
    {"auth_alone", 0, "", "alice", "s3cret", {kAuthAccepted + "data"}, kAuth, "data", Want::kDone, QBSOCKS_STEP_NONE, QBSOCKS_CAUSE_NONE, -1, nullptr},
    {"auth_alone_closed", 0, "", "alice", "s3cret", {Bytes({1}), kClose}, kAuth, "", Want::kFailed, QBSOCKS_STEP_AUTH, QBSOCKS_CAUSE_CLOSED, -1, kAuthFailure},
};
// clang-format on

qbproxy::Handshake Start(const HandshakeRow& r) {
  const int user = static_cast<int>(r.user.size()), password = static_cast<int>(r.password.size());
  if (r.version == 4) return qbproxy::Handshake::Socks4(r.target.c_str(), 80, r.targets);
  if (r.version == 0) return qbproxy::Handshake::Socks5Auth(r.user.data(), user, r.password.data(), password);
  return qbproxy::Handshake::Socks5(r.target.c_str(), 80, r.user.data(), user, r.password.data(), password,
                                    r.targets);
}

// The proxy's side of a row, as the handshake's driver step sees its
// socket: <late> moves the clock past the reply's ten seconds.
struct ScriptedProxy final : qbproxy::HandshakeIo {
  explicit ScriptedProxy(const HandshakeRow& row) : row(row), script(row.proxy) {}
  bool SendAll(const BYTE* data, int size, LONG* error) override {
    ExpectWiped();
    if (Take(kSendFails)) return *error = kError, false;
    sent.append(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
    output = std::string_view(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
    return true;
  }
  int Receive(BYTE* buffer, int room, DWORD, DWORD, LONG* error) override {
    ExpectWiped();
    if (Take(kLate)) now += kReplyLimitMs + 1;
    if (Take(kClose)) return 0;
    if (Take(kReset)) return *error = kError, -1;
    if (script.empty()) return *error = WSAEWOULDBLOCK, -1;
    const std::string piece = script.front().substr(0, static_cast<size_t>(room));
    memcpy(buffer, piece.data(), piece.size());
    script.front().erase(0, piece.size());
    if (script.front().empty()) script.erase(script.begin());
    return static_cast<int>(piece.size());
  }
  bool EndsAt(Moment, const qbproxy::Handshake&) override { return false; }
  DWORD Now() override { return now; }
  bool Take(const std::string& event) {
    if (script.empty() || script.front() != event) return false;
    return script.erase(script.begin()), true;
  }
  // A request, once sent, holds no password.
  void ExpectWiped() { EXPECT_TRUE(row.password.empty() || output.find(row.password) == std::string::npos); }
  const HandshakeRow& row;
  std::string_view output;
  std::vector<std::string> script;
  std::string sent;
  DWORD now = 0xFFFFF000u;  // the tick count wraps within the reply's time
};

class HandshakeTable : public ::testing::TestWithParam<HandshakeRow> {};

TEST_P(HandshakeTable, SendsReadsAndEndsAsTheProtocolSays) {
  const HandshakeRow& row = GetParam();
  qbproxy::Handshake handshake = Start(row);
  ScriptedProxy proxy(row);
  if (handshake.Next() == Want::kUserId) {
    EXPECT_NE(row.cause, QBSOCKS_CAUSE_BAD_TARGET) << "the user's name asked for a refused target";
    handshake.SetUserId(row.user.c_str());
  }
  qbproxy::Drive(handshake, proxy);  // ends where the script runs out, or done
  const std::vector<std::string>& script = proxy.script;
  const std::string& sent = proxy.sent;
  std::string left;
  for (const std::string& piece : script) left += piece;
  EXPECT_EQ(sent, row.sent);
  EXPECT_EQ(left, row.left) << "bytes beyond the reply taken, or the reply not read whole";
  EXPECT_EQ(handshake.Next(), row.end);
  const qbproxy::Failure& failure = row.end == Want::kFailed ? handshake.failure() : qbproxy::Failure();
  EXPECT_EQ(handshake.Step(), row.step);
  EXPECT_EQ(failure.cause, row.cause);
  EXPECT_EQ(failure.proxyCode, row.code);
  const bool refusedTarget = row.step == QBSOCKS_STEP_REPLY && (row.code == 5 || row.code == 91);
  EXPECT_EQ(failure.systemError, row.cause == QBSOCKS_CAUSE_SYSTEM_ERROR ? kError
                                 : refusedTarget                         ? WSAECONNREFUSED
                                                                         : 0);
  EXPECT_STREQ(failure.text, row.text);
}

INSTANTIATE_TEST_SUITE_P(Rows, HandshakeTable, ::testing::ValuesIn(kRows),
                         [](const ::testing::TestParamInfo<HandshakeRow>& info) { return info.param.name; });

}  // namespace
}  // namespace qbtest
