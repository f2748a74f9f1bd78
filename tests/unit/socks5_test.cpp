// SOCKS5 CONNECT against a scripted proxy: method negotiation, the
// username/password exchange, request layouts, every reply code's text,
// replies framed by their address type, and the ten-second budget.
#include "csocks_fixture.h"

namespace qbtest {
namespace {

using ms = std::chrono::milliseconds;

const std::string kOffer = Bytes({5, 2, 0, 2});
const std::string kNoAuth = Bytes({5, 0});
const std::string kUserPass = Bytes({5, 2});
const std::string kRequest1234 = Bytes({5, 1, 0, 1, 1, 2, 3, 4, 0, 80});
const std::string kRequestAbc = Bytes({5, 1, 0, 3, 3, 'a', 'b', 'c', 0x01, 0xBB});

std::string Reply(int rep, int atyp, std::string address) {
  return Bytes({5, rep, 0, atyp}) + address + Bytes({0x12, 0x34});
}
const std::string kSucceeded = Reply(0, 1, Bytes({127, 0, 0, 1}));

std::string AuthRequest(const std::string& user, const std::string& password) {
  return Bytes({1, static_cast<int>(user.size())}) + user +
         Bytes({static_cast<int>(password.size())}) + password;
}

std::string NameRequest(const std::string& name, int port_hi, int port_lo) {
  return Bytes({5, 1, 0, 3, static_cast<int>(name.size())}) + name + Bytes({port_hi, port_lo});
}

PeerScript Script(std::initializer_list<PeerStep> steps, bool then_target = false) {
  PeerScript script(steps);
  if (then_target) {
    for (PeerStep& step : TargetExchange()) script.push_back(step);
  }
  return script;
}

// Offer, no authentication, the request for 1.2.3.4:80, then this reply.
PeerScript Answered(std::string reply) {
  return Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth), PeerStep::Expect(kRequest1234),
                 PeerStep::Send(std::move(reply))});
}

const char kGeneral[] = "General negotiation failure";
const char kResolve[] = "General name resolve failure";
const char kAuthFailed[] = "Username/password subnegotition failure";

const std::string kLongest31(31, 'u');
const std::string kLongPass31(31, 'p');
const std::string kName249 = std::string(245, 'h') + ".com";
const std::string kName250 = std::string(246, 'h') + ".com";

NegotiationCase ReplyCode(const char* name, int rep, const char* text) {
  return {name, 5, "", "", "1.2.3.4", 80, Answered(Reply(rep, 1, Bytes({0, 0, 0, 0}))), 0, {text}};
}

class Socks5Negotiation : public ::testing::TestWithParam<NegotiationCase> {};

TEST_P(Socks5Negotiation, Runs) { RunNegotiationCase(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Table, Socks5Negotiation,
    ::testing::Values(
        NegotiationCase{"ipv4_no_auth", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth),
                                PeerStep::Expect(kRequest1234), PeerStep::Send(kSucceeded)},
                               true),
                        1, {}},
        NegotiationCase{"name_no_auth", 5, "", "", "abc", 443,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth),
                                PeerStep::Expect(kRequestAbc), PeerStep::Send(kSucceeded)},
                               true),
                        1, {}},
        NegotiationCase{"port_above_65535_keeps_low_bits", 5, "", "", "abc", 0x30000 + 443,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth),
                                PeerStep::Expect(kRequestAbc), PeerStep::Send(kSucceeded)},
                               true),
                        1, {}},
        NegotiationCase{"user_and_password", 5, "alice", "s3cret", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kUserPass),
                                PeerStep::Expect(AuthRequest("alice", "s3cret")),
                                PeerStep::Send(Bytes({1, 0})), PeerStep::Expect(kRequest1234),
                                PeerStep::Send(kSucceeded)},
                               true),
                        1, {}},
        NegotiationCase{"empty_credentials_when_asked", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kUserPass),
                                PeerStep::Expect(Bytes({1, 0, 0})), PeerStep::Send(Bytes({1, 0})),
                                PeerStep::Expect(kRequest1234), PeerStep::Send(kSucceeded)},
                               true),
                        1, {}},
        NegotiationCase{"longest_credentials", 5, kLongest31, kLongPass31, "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kUserPass),
                                PeerStep::Expect(AuthRequest(kLongest31, kLongPass31)),
                                PeerStep::Send(Bytes({1, 0})), PeerStep::Expect(kRequest1234),
                                PeerStep::Send(kSucceeded)},
                               true),
                        1, {}},
        NegotiationCase{"credentials_unused_without_method_2", 5, "alice", "s3cret", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth),
                                PeerStep::Expect(kRequest1234), PeerStep::Send(kSucceeded)},
                               true),
                        1, {}},
        NegotiationCase{"password_refused", 5, "alice", "wrong", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kUserPass),
                                PeerStep::Expect(AuthRequest("alice", "wrong")),
                                PeerStep::Send(Bytes({1, 1}))}),
                        0, {kAuthFailed}},
        NegotiationCase{"auth_status_cut_short", 5, "alice", "pw", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kUserPass),
                                PeerStep::Expect(AuthRequest("alice", "pw")),
                                PeerStep::Send(Bytes({1})), PeerStep::Close()}),
                        0, {kAuthFailed}},
        NegotiationCase{"no_acceptable_method", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(Bytes({5, 0xFF}))}), 0,
                        {"General SOCKS5 authentication failure"}},
        NegotiationCase{"method_1_unsupported", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(Bytes({5, 1}))}), 0,
                        {"General SOCKS5 authentication failure"}},
        NegotiationCase{"wrong_version_in_choice", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(Bytes({4, 0}))}), 0,
                        {"SOCKS5 version negotition failur"}},
        NegotiationCase{"choice_cut_short", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(Bytes({5})),
                                PeerStep::Close()}),
                        0, {kGeneral}},
        NegotiationCase{"choice_in_two_pieces", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(Bytes({5})),
                                PeerStep::AwaitClientRead(), PeerStep::Send(Bytes({0})),
                                PeerStep::Expect(kRequest1234), PeerStep::Send(kSucceeded)},
                               true),
                        1, {}},
        NegotiationCase{"reply_in_two_pieces", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth),
                                PeerStep::Expect(kRequest1234), PeerStep::Send(kSucceeded.substr(0, 7)),
                                PeerStep::AwaitClientRead(), PeerStep::Send(kSucceeded.substr(7))},
                               true),
                        1, {}},
        // Bound addresses of every length are taken whole, and what the
        // target sends right behind the reply reaches the host intact.
        NegotiationCase{"bound_name_then_target_bytes", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth),
                                PeerStep::Expect(kRequest1234),
                                PeerStep::Send(Reply(0, 3, Bytes({9}) + "proxy.lan") + kTargetHello),
                                PeerStep::Expect(kClientHello)}),
                        1, {}},
        NegotiationCase{"bound_empty_name_then_target_bytes", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth),
                                PeerStep::Expect(kRequest1234),
                                PeerStep::Send(Reply(0, 3, Bytes({0})) + kTargetHello),
                                PeerStep::Expect(kClientHello)}),
                        1, {}},
        NegotiationCase{"bound_ipv6_then_target_bytes", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth),
                                PeerStep::Expect(kRequest1234),
                                PeerStep::Send(Reply(0, 4, std::string(16, '\x01')) + kTargetHello),
                                PeerStep::Expect(kClientHello)}),
                        1, {}},
        NegotiationCase{"bound_longest_name", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth),
                                PeerStep::Expect(kRequest1234),
                                PeerStep::Send(Reply(0, 3, Bytes({255}) + std::string(255, 'n')))},
                               true),
                        1, {}},
        NegotiationCase{"unknown_address_type", 5, "", "", "1.2.3.4", 80,
                        Answered(Reply(0, 5, Bytes({0, 0, 0, 0}))), 0, {kGeneral}},
        NegotiationCase{"reply_cut_short", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth),
                                PeerStep::Expect(kRequest1234),
                                PeerStep::Send(kSucceeded.substr(0, 7)), PeerStep::Close()}),
                        0, {kGeneral}},
        NegotiationCase{"short_error_reply_kept_open", 5, "", "", "1.2.3.4", 80,
                        Answered(Bytes({5, 5})), 0, {"Connection refused"}},
        ReplyCode("rep_1", 1, "General SOCKS server failure"),
        ReplyCode("rep_2", 2, "Connection not allowed by ruleset"),
        ReplyCode("rep_3", 3, "Network unreachable"),
        ReplyCode("rep_4", 4, "Host unreachable"),
        ReplyCode("rep_5", 5, "Connection refused"),
        ReplyCode("rep_6", 6, "TTL expired"),
        ReplyCode("rep_7", 7, "Command not supported"),
        ReplyCode("rep_8", 8, "Address type not supported."),
        ReplyCode("rep_9", 9, kGeneral),
        ReplyCode("rep_255", 255, kGeneral),
        // Unresolvable text fails after the method negotiation, before any
        // request is sent.
        NegotiationCase{"five_parts_after_negotiation", 5, "", "", "1.2.3.4.5", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth)}), 0, {kResolve}},
        NegotiationCase{"all_ones_after_auth", 5, "u", "p", "255.255.255.255", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kUserPass),
                                PeerStep::Expect(AuthRequest("u", "p")),
                                PeerStep::Send(Bytes({1, 0}))}),
                        0, {kResolve}},
        NegotiationCase{"longest_name", 5, "", "", kName249.c_str(), 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth),
                                PeerStep::Expect(NameRequest(kName249, 0, 80)),
                                PeerStep::Send(kSucceeded)},
                               true),
                        1, {}},
        NegotiationCase{"name_too_long_is_not_cut", 5, "", "", kName250.c_str(), 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth)}), 0, {kResolve}}),
    [](const ::testing::TestParamInfo<NegotiationCase>& info) { return info.param.name; });

class Socks5Budget : public ::testing::TestWithParam<NegotiationCase> {};

TEST_P(Socks5Budget, EndsAfterTenSeconds) { RunBudgetCase(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Slow, Socks5Budget,
    ::testing::Values(
        NegotiationCase{"silent_after_offer", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer)}), 0, {kGeneral}},
        NegotiationCase{"silent_after_request", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth),
                                PeerStep::Expect(kRequest1234)}),
                        0, {kGeneral}},
        NegotiationCase{"dripping_reply", 5, "", "", "1.2.3.4", 80,
                        Script({PeerStep::Expect(kOffer), PeerStep::Send(kNoAuth),
                                PeerStep::Expect(kRequest1234),
                                PeerStep::Drip(kSucceeded, ms(3000))}),
                        0, {kGeneral}}),
    [](const ::testing::TestParamInfo<NegotiationCase>& info) { return info.param.name; });

}  // namespace
}  // namespace qbtest
