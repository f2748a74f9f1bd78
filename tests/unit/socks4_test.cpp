// SOCKS4 CONNECT against a scripted proxy: request layout, every reply
// code's text, replies in pieces, short and silent proxies.
#include "csocks_fixture.h"

namespace qbtest {
namespace {

using ms = std::chrono::milliseconds;

std::string Socks4Request(std::initializer_list<int> ip, int port_hi, int port_lo) {
  std::string wire = Bytes({4, 1, port_hi, port_lo});
  for (int octet : ip) wire.push_back(static_cast<char>(octet));
  return wire + LogonName() + std::string(1, '\0');
}

std::string Socks4Reply(int vn, int cd) { return Bytes({vn, cd, 0, 0, 0, 0, 0, 0}); }

const std::string kRequest10001 = Socks4Request({10, 0, 0, 1}, 0x00, 0x50);

PeerScript Granted(std::string request, std::string reply) {
  PeerScript script{PeerStep::Expect(std::move(request)), PeerStep::Send(std::move(reply))};
  for (PeerStep& step : TargetExchange()) script.push_back(step);
  return script;
}

PeerScript Answered(std::string reply) {
  return {PeerStep::Expect(kRequest10001), PeerStep::Send(std::move(reply))};
}

const char kNoNames[] = "SOCKS4 can't resolve domain name, you should use IP address";
const char kResolve[] = "General name resolve failure";
const char kGeneral[] = "General negotiation failure";

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
                        Granted(Socks4Request({192, 168, 1, 20}, 0x1F, 0x90), Socks4Reply(0, 90)),
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
                        {"Request rejected or failed"}},
        NegotiationCase{"rejected_92", 4, "", "", "10.0.0.1", 80, Answered(Socks4Reply(0, 92)), 0,
                        {"Request rejected becasue SOCKS server cannot connect to identd on the "
                         "client"}},
        NegotiationCase{"rejected_93", 4, "", "", "10.0.0.1", 80, Answered(Socks4Reply(0, 93)), 0,
                        {"Request rejected because the client program and identd report "
                         "different user-ids"}},
        NegotiationCase{"code_0", 4, "", "", "10.0.0.1", 80, Answered(Socks4Reply(0, 0)), 0,
                        {kGeneral}},
        NegotiationCase{"code_94", 4, "", "", "10.0.0.1", 80, Answered(Socks4Reply(0, 94)), 0,
                        {kGeneral}},
        // A short error reply on a connection that stays open is reported
        // at once, not after the budget with the general text.
        NegotiationCase{"short_error_reply_kept_open", 4, "", "", "10.0.0.1", 80,
                        {PeerStep::Expect(kRequest10001), PeerStep::Send(Bytes({0, 91}))},
                        0, {"Request rejected or failed"}},
        NegotiationCase{"name_refused_before_sending", 4, "", "", "gateway", 80, {}, 0, {kNoNames}},
        NegotiationCase{"letter_anywhere_refused", 4, "", "", "10.0.0.x", 80, {}, 0, {kNoNames}},
        NegotiationCase{"all_ones_address", 4, "", "", "255.255.255.255", 80, {}, 0, {kResolve}},
        NegotiationCase{"five_parts", 4, "", "", "1.2.3.4.5", 80, {}, 0, {kResolve}},
        NegotiationCase{"empty_target", 4, "", "", "", 80, {}, 0, {kResolve}},
        NegotiationCase{"half_reply_then_close", 4, "", "", "10.0.0.1", 80,
                        {PeerStep::Expect(kRequest10001), PeerStep::Send(Bytes({0, 90, 0, 0})),
                         PeerStep::Close()},
                        0, {kGeneral}},
        NegotiationCase{"close_without_reply", 4, "", "", "10.0.0.1", 80,
                        {PeerStep::Expect(kRequest10001), PeerStep::Close()}, 0, {kGeneral}},
        NegotiationCase{"reset_without_reply", 4, "", "", "10.0.0.1", 80,
                        {PeerStep::Expect(kRequest10001), PeerStep::Reset()}, 0, {kGeneral}}),
    [](const ::testing::TestParamInfo<NegotiationCase>& info) { return info.param.name; });

// The ten-second budget covers the whole reply: a silent proxy and one that
// drips its reply both fail shortly after ten seconds.
class Socks4Budget : public ::testing::TestWithParam<NegotiationCase> {};

TEST_P(Socks4Budget, EndsAfterTenSeconds) { RunBudgetCase(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Slow, Socks4Budget,
    ::testing::Values(
        NegotiationCase{"silent", 4, "", "", "10.0.0.1", 80, {PeerStep::Expect(kRequest10001)}, 0,
                        {kGeneral}},
        NegotiationCase{"dripping", 4, "", "", "10.0.0.1", 80,
                        {PeerStep::Expect(kRequest10001),
                         PeerStep::Drip(Socks4Reply(0, 90), ms(3000))},
                        0, {kGeneral}}),
    [](const ::testing::TestParamInfo<NegotiationCase>& info) { return info.param.name; });

}  // namespace
}  // namespace qbtest
