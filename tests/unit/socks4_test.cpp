// SOCKS4 CONNECT against a scripted proxy: request layout, every reply
// code's text, replies in pieces, short and silent proxies.
#include "csocks_fixture.h"

namespace qbtest {
namespace {

using ms = std::chrono::milliseconds;

const std::string kRequest10001 = Socks4Request({10, 0, 0, 1}, 80);

PeerScript Granted(std::string request, std::string reply) {
  PeerScript script{PeerStep::Expect(std::move(request)), PeerStep::Send(std::move(reply))};
  for (PeerStep& step : TargetExchange()) script.push_back(step);
  return script;
}

PeerScript Answered(std::string reply) {
  return {PeerStep::Expect(kRequest10001), PeerStep::Send(std::move(reply))};
}

class Socks4Negotiation : public ::testing::TestWithParam<NegotiationCase> {};

TEST_P(Socks4Negotiation, Runs) { RunNegotiationCase(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Table, Socks4Negotiation,
    ::testing::Values(
        NegotiationCase{"granted", 4, "", "", "10.0.0.1", 80,
                        Granted(kRequest10001, Socks4Reply(0, 90)), 1, {}},
        NegotiationCase{"granted_whatever_vn", 4, "", "", "10.0.0.1", 80,
                        Granted(kRequest10001, Socks4Reply(4, 90)), 1, {}},
        NegotiationCase{"port_above_65535_keeps_low_bits", 4, "", "", "192.168.1.20",
                        0x10000 + 0x1F90,
                        Granted(Socks4Request({192, 168, 1, 20}, 0x1F90), Socks4Reply(0, 90)),
                        1, {}},
        NegotiationCase{"configured_user_name_is_not_sent", 4, "alice", "secret", "10.0.0.1", 80,
                        Granted(kRequest10001, Socks4Reply(0, 90)), 1, {}},
        NegotiationCase{"reply_in_two_pieces", 4, "", "", "10.0.0.1", 80,
                        {PeerStep::Expect(kRequest10001), PeerStep::Send(Bytes({0, 90, 0, 0})),
                         PeerStep::AwaitClientRead(), PeerStep::Send(Bytes({0, 0, 0, 0})),
                         PeerStep::Expect(kClientHello), PeerStep::Send(kTargetHello)},
                        1, {}},
        NegotiationCase{"target_bytes_right_behind_reply", 4, "", "", "10.0.0.1", 80,
                        {PeerStep::Expect(kRequest10001),
                         PeerStep::Send(Socks4Reply(0, 90) + kTargetHello),
                         PeerStep::Expect(kClientHello)},
                        1, {}},
        NegotiationCase{"rejected_91", 4, "", "", "10.0.0.1", 80, Answered(Socks4Reply(0, 91)), 0,
                        {kSocks4Rejected}},
        NegotiationCase{"rejected_92", 4, "", "", "10.0.0.1", 80, Answered(Socks4Reply(0, 92)), 0,
                        {"Request rejected becasue SOCKS server cannot connect to identd on the "
                         "client"}},
        NegotiationCase{"rejected_93", 4, "", "", "10.0.0.1", 80, Answered(Socks4Reply(0, 93)), 0,
                        {"Request rejected because the client program and identd report "
                         "different user-ids"}},
        NegotiationCase{"code_0", 4, "", "", "10.0.0.1", 80, Answered(Socks4Reply(0, 0)), 0,
                        {kGeneralFailure}},
        NegotiationCase{"code_94", 4, "", "", "10.0.0.1", 80, Answered(Socks4Reply(0, 94)), 0,
                        {kGeneralFailure}},
        // A short error reply on a connection that stays open is reported
        // at once, not after the budget with the general text.
        NegotiationCase{"short_error_reply_kept_open", 4, "", "", "10.0.0.1", 80,
                        {PeerStep::Expect(kRequest10001), PeerStep::Send(Bytes({0, 91}))},
                        0, {kSocks4Rejected}},
        NegotiationCase{"name_refused_before_sending", 4, "", "", "gateway", 80, {}, 0, {kSocks4NoNames}},
        NegotiationCase{"letter_anywhere_refused", 4, "", "", "10.0.0.x", 80, {}, 0, {kSocks4NoNames}},
        NegotiationCase{"all_ones_address", 4, "", "", "255.255.255.255", 80, {}, 0, {kResolveFailure}},
        NegotiationCase{"five_parts", 4, "", "", "1.2.3.4.5", 80, {}, 0, {kResolveFailure}},
        NegotiationCase{"empty_target", 4, "", "", "", 80, {}, 0, {kResolveFailure}},
        NegotiationCase{"half_reply_then_close", 4, "", "", "10.0.0.1", 80,
                        {PeerStep::Expect(kRequest10001), PeerStep::Send(Bytes({0, 90, 0, 0})),
                         PeerStep::Close()},
                        0, {kGeneralFailure}},
        NegotiationCase{"close_without_reply", 4, "", "", "10.0.0.1", 80,
                        {PeerStep::Expect(kRequest10001), PeerStep::Close()}, 0, {kGeneralFailure}},
        NegotiationCase{"reset_without_reply", 4, "", "", "10.0.0.1", 80,
                        {PeerStep::Expect(kRequest10001), PeerStep::Reset()}, 0, {kGeneralFailure}}),
    CaseName);

// The ten-second budget covers the whole reply: a silent proxy and one that
// drips its reply both fail shortly after ten seconds.
class Socks4Budget : public ::testing::TestWithParam<NegotiationCase> {};

TEST_P(Socks4Budget, EndsAfterTenSeconds) { RunBudgetCase(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Slow, Socks4Budget,
    ::testing::Values(
        NegotiationCase{"silent", 4, "", "", "10.0.0.1", 80, {PeerStep::Expect(kRequest10001)}, 0,
                        {kGeneralFailure}},
        NegotiationCase{"dripping", 4, "", "", "10.0.0.1", 80,
                        {PeerStep::Expect(kRequest10001),
                         PeerStep::Drip(Socks4Reply(0, 90), ms(3000))},
                        0, {kGeneralFailure}}),
    CaseName);

}  // namespace
}  // namespace qbtest
