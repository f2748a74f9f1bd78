// SOCKS4 CONNECT against a scripted proxy: request layout, every reply
// code's text, replies in pieces, short and silent proxies.
#include "csocks_fixture.h"

namespace qbtest {
namespace {

using ms = std::chrono::milliseconds;

const std::string kGranted = Socks4Reply(0, 90);

INSTANTIATE_TEST_SUITE_P(
    Socks4, NegotiationTable,
    ::testing::Values(
        Socks4Row("granted").Replies(kGranted).Succeeds(),
        Socks4Row("granted_whatever_vn").Replies(Socks4Reply(4, 90)).Succeeds(),
        Socks4Row("request_spelt_out")
            .To("10.0.0.1", 80, Bytes({4, 1, 0, 80, 10, 0, 0, 1}) + LogonName() + std::string(1, '\0'))
            .Replies(kGranted)
            .Succeeds(),
        Socks4Row("port_above_65535_keeps_low_bits")
            .To("192.168.1.20", 0x10000 + 0x1F90, Socks4Request({192, 168, 1, 20}, 0x1F90))
            .Replies(kGranted)
            .Succeeds(),
        Socks4Row("configured_user_name_is_not_sent").As("alice", "secret").Replies(kGranted).Succeeds(),
        Socks4Row("reply_in_two_pieces")
            .Replies(Bytes({0, 90, 0, 0}))
            .Then({PeerStep::AwaitClientRead(), PeerStep::Send(Bytes({0, 0, 0, 0}))})
            .Succeeds(),
        Socks4Row("reply_first_byte_alone")
            .Replies(Bytes({0}))
            .Then({PeerStep::AwaitClientRead(), PeerStep::Send(Bytes({90, 0, 0, 0, 0, 0, 0}))})
            .Succeeds(),
        Socks4Row("target_bytes_right_behind_reply")
            .Replies(kGranted + kTargetHello)
            .Then({PeerStep::Expect(kClientHello)})
            .SucceedsAsScripted(),
        Socks4Row("rejected_91").Replies(Socks4Reply(0, 91)).LeavesError(WSAECONNREFUSED).Fails(kSocks4Rejected),
        Socks4Row("rejected_92")
            .Replies(Socks4Reply(0, 92))
            .LeavesError(WSAEACCES)
            .Fails("Request rejected becasue SOCKS server cannot connect to identd on the client"),
        Socks4Row("rejected_93")
            .Replies(Socks4Reply(0, 93))
            .LeavesError(WSAEACCES)
            .Fails("Request rejected because the client program and identd report different user-ids"),
        Socks4Row("code_0").Replies(Socks4Reply(0, 0)).Fails(kGeneralFailure),
        Socks4Row("code_94").Replies(Socks4Reply(0, 94)).Fails(kGeneralFailure),
        // A short error reply on a connection that stays open is reported
        // at once, not after the budget with the general text.
        Socks4Row("short_error_reply_kept_open").Replies(Bytes({0, 91})).Fails(kSocks4Rejected),
        Socks4Row("name_refused_before_sending").To("gateway", 80).Fails(kSocks4NoNames),
        Socks4Row("letter_anywhere_refused").To("10.0.0.x", 80).Fails(kSocks4NoNames),
        Socks4Row("all_ones_address").To("255.255.255.255", 80).Fails(kResolveFailure),
        Socks4Row("five_parts").To("1.2.3.4.5", 80).Fails(kResolveFailure),
        Socks4Row("empty_target").To("", 80).Fails(kResolveFailure),
        Socks4Row("half_reply_then_close")
            .Replies(Bytes({0, 90, 0, 0}))
            .Then({PeerStep::Close()})
            .Fails(kGeneralFailure),
        Socks4Row("close_without_reply").Request().Then({PeerStep::Close()}).Fails(kGeneralFailure),
        Socks4Row("reset_without_reply").Request().Then({PeerStep::Reset()}).Fails(kGeneralFailure),
        // A derived class that sets another version once the settings are
        // read gets a failure (closed, nothing sent), not a guess.
        Socks4Row("version_changed_by_a_derived_class")
            .OnConnect([](ProbeSocks& socks) { socks.m_nSocksVersion = 6; })
            .FailsWithoutText()),
    CaseName);

// The ten-second budget covers the whole reply: a silent proxy and one that
// drips its reply both fail shortly after ten seconds.
INSTANTIATE_TEST_SUITE_P(
    Socks4Slow, NegotiationBudget,
    ::testing::Values(
        Socks4Row("silent").Request().Fails(kGeneralFailure),
        Socks4Row("dripping").Request().Then({PeerStep::Drip(kGranted, ms(3000))}).Fails(kGeneralFailure)),
    CaseName);

}  // namespace
}  // namespace qbtest
