// SOCKS5 CONNECT against a scripted proxy: method negotiation, the
// username/password exchange, request layouts, every reply code's text,
// replies framed by their address type, and the ten-second budget.
#include "csocks_fixture.h"

namespace qbtest {
namespace {

using ms = std::chrono::milliseconds;

const std::string kRequestAbc = Socks5NameRequest("abc", 443);

const std::string kLongest31(31, 'u');
const std::string kLongPass31(31, 'p');
const std::string kLongest32(32, 'u');
const std::string kLongPass32(32, 'p');
const std::string kName249 = std::string(245, 'h') + ".com";
const std::string kName250 = std::string(246, 'h') + ".com";

NegotiationCase ReplyCode(const char* name, int rep, const char* text, int error = WSAECONNREFUSED) {
  return Socks5Row(name).NoAuth().Replies(Socks5Reply(rep, 1, Bytes({0, 0, 0, 0}))).LeavesError(error).Fails(text);
}

INSTANTIATE_TEST_SUITE_P(
    Socks5, NegotiationTable,
    ::testing::Values(
        Socks5Row("ipv4_no_auth").NoAuth().Replies(kSocks5Succeeded).Succeeds(),
        // Each request spelt out once; the other rows build theirs as CSocks does.
        Socks5Row("ipv4_request_spelt_out")
            .To("1.2.3.4", 80, Bytes({5, 1, 0, 1, 1, 2, 3, 4, 0, 0x50}))
            .NoAuth()
            .Replies(kSocks5Succeeded)
            .Succeeds(),
        Socks5Row("name_request_spelt_out")
            .To("abc", 443, Bytes({5, 1, 0, 3, 3, 'a', 'b', 'c', 1, 0xBB}))
            .NoAuth()
            .Replies(kSocks5Succeeded)
            .Succeeds(),
        Socks5Row("auth_request_spelt_out")
            .As("al", "pw1")
            .Choice(kPasswordChoice)
            .Then({PeerStep::Expect(Bytes({1, 2, 'a', 'l', 3, 'p', 'w', '1'})), PeerStep::Send(kAuthAccepted)})
            .Replies(kSocks5Succeeded)
            .Succeeds(),
        Socks5Row("name_no_auth").To("abc", 443, kRequestAbc).NoAuth().Replies(kSocks5Succeeded).Succeeds(),
        Socks5Row("port_above_65535_keeps_low_bits")
            .To("abc", 0x30000 + 443, kRequestAbc)
            .NoAuth()
            .Replies(kSocks5Succeeded)
            .Succeeds(),
        Socks5Row("user_and_password").As("alice", "s3cret").Password().Replies(kSocks5Succeeded).Succeeds(),
        Socks5Row("empty_credentials_when_asked").Password().Replies(kSocks5Succeeded).Succeeds(),
        Socks5Row("longest_credentials").As(kLongest31, kLongPass31).Password().Replies(kSocks5Succeeded).Succeeds(),
        Socks5Row("longest_credentials_spelt_out")
            .As(kLongest31, kLongPass31)
            .Choice(kPasswordChoice)
            .Then({PeerStep::Expect(Bytes({1, 31}) + kLongest31 + Bytes({31}) + kLongPass31),
                   PeerStep::Send(kAuthAccepted)})
            .Replies(kSocks5Succeeded)
            .Succeeds(),
        // A user name or password one byte over its field is not read (the
        // field keeps what it had, here nothing), never cut to 31 bytes.
        Socks5Row("credentials_one_byte_over_are_not_read")
            .As(kLongest32, kLongPass32)
            .Choice(kPasswordChoice)
            .Then({PeerStep::Expect(Bytes({1, 0, 0})), PeerStep::Send(kAuthAccepted)})
            .Replies(kSocks5Succeeded)
            .Succeeds(),
        // A field a derived class filled without a terminator: 31 bytes, the most a terminated one holds.
        Socks5Row("unterminated_user_field_gives_31_bytes")
            .OnConnect([](ProbeSocks& socks) { memset(socks.m_szUserName, 'u', sizeof(socks.m_szUserName)); })
            .Choice(kPasswordChoice)
            .Then({PeerStep::Expect(Bytes({1, 31}) + kLongest31 + Bytes({0})), PeerStep::Send(kAuthAccepted)})
            .Replies(kSocks5Succeeded)
            .Succeeds(),
        Socks5Row("credentials_unused_without_method_2")
            .As("alice", "s3cret")
            .NoAuth()
            .Replies(kSocks5Succeeded)
            .Succeeds(),
        Socks5Row("password_refused").As("alice", "wrong").Password(Bytes({1, 1})).Fails(kAuthFailure),
        Socks5Row("auth_status_cut_short")
            .As("alice", "pw")
            .Password(Bytes({1}))
            .Then({PeerStep::Close()})
            .Fails(kAuthFailure),
        Socks5Row("no_acceptable_method").Choice(Bytes({5, 0xFF})).Fails(kNoMethodFailure),
        Socks5Row("method_1_unsupported").Choice(Bytes({5, 1})).Fails(kNoMethodFailure),
        Socks5Row("wrong_version_in_choice").Choice(Bytes({4, 0})).Fails(kSocks5VersionFailure),
        Socks5Row("choice_cut_short").Choice(Bytes({5})).Then({PeerStep::Close()}).Fails(kGeneralFailure),
        Socks5Row("choice_in_two_pieces")
            .Choice(Bytes({5}))
            .Then({PeerStep::AwaitClientRead()})
            .Choice(Bytes({0}))
            .Replies(kSocks5Succeeded)
            .Succeeds(),
        Socks5Row("reply_in_two_pieces")
            .NoAuth()
            .Replies(kSocks5Succeeded.substr(0, 7))
            .Then({PeerStep::AwaitClientRead(), PeerStep::Send(kSocks5Succeeded.substr(7))})
            .Succeeds(),
        // Bound addresses of every length are taken whole, and what the
        // target sends right behind the reply reaches the host intact.
        Socks5Row("bound_name_then_target_bytes")
            .NoAuth()
            .Replies(Socks5Reply(0, 3, Bytes({9}) + "proxy.lan") + kTargetHello)
            .Then({PeerStep::Expect(kClientHello)})
            .SucceedsAsScripted(),
        Socks5Row("bound_empty_name_then_target_bytes")
            .NoAuth()
            .Replies(Socks5Reply(0, 3, Bytes({0})) + kTargetHello)
            .Then({PeerStep::Expect(kClientHello)})
            .SucceedsAsScripted(),
        Socks5Row("bound_ipv6_then_target_bytes")
            .NoAuth()
            .Replies(Socks5Reply(0, 4, std::string(16, '\x01')) + kTargetHello)
            .Then({PeerStep::Expect(kClientHello)})
            .SucceedsAsScripted(),
        Socks5Row("bound_longest_name")
            .NoAuth()
            .Replies(Socks5Reply(0, 3, Bytes({255}) + std::string(255, 'n')))
            .Succeeds(),
        Socks5Row("unknown_address_type")
            .NoAuth()
            .Replies(Socks5Reply(0, 5, Bytes({0, 0, 0, 0})))
            .Fails(kGeneralFailure),
        Socks5Row("reply_cut_short")
            .NoAuth()
            .Replies(kSocks5Succeeded.substr(0, 7))
            .Then({PeerStep::Close()})
            .Fails(kGeneralFailure),
        Socks5Row("short_error_reply_kept_open").NoAuth().Replies(Bytes({5, 5})).Fails(kConnectionRefused),
        ReplyCode("rep_1", 1, "General SOCKS server failure"),
        ReplyCode("rep_2", 2, "Connection not allowed by ruleset", WSAEACCES),
        ReplyCode("rep_3", 3, "Network unreachable", WSAENETUNREACH),
        ReplyCode("rep_4", 4, "Host unreachable", WSAEHOSTUNREACH), ReplyCode("rep_5", 5, kConnectionRefused),
        ReplyCode("rep_6", 6, "TTL expired", WSAETIMEDOUT), ReplyCode("rep_7", 7, "Command not supported"),
        ReplyCode("rep_8", 8, "Address type not supported.", WSAEAFNOSUPPORT), ReplyCode("rep_9", 9, kGeneralFailure),
        ReplyCode("rep_255", 255, kGeneralFailure),
        // Unresolvable text fails after the method negotiation, before any
        // request is sent.
        Socks5Row("five_parts_after_negotiation").To("1.2.3.4.5", 80).NoAuth().Fails(kResolveFailure),
        Socks5Row("all_ones_after_auth").To("255.255.255.255", 80).As("u", "p").Password().Fails(kResolveFailure),
        Socks5Row("longest_name")
            .To(kName249.c_str(), 80, Socks5NameRequest(kName249, 80))
            .NoAuth()
            .Replies(kSocks5Succeeded)
            .Succeeds(),
        Socks5Row("name_too_long_is_not_cut").To(kName250.c_str(), 80).NoAuth().Fails(kResolveFailure)),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Socks5Slow, NegotiationBudget,
    ::testing::Values(Socks5Row("silent_after_offer").Fails(kGeneralFailure),
                      Socks5Row("silent_after_request").NoAuth().Request().Fails(kGeneralFailure),
                      Socks5Row("dripping_reply")
                          .NoAuth()
                          .Request()
                          .Then({PeerStep::Drip(kSocks5Succeeded, ms(3000))})
                          .Fails(kGeneralFailure)),
    CaseName);

}  // namespace
}  // namespace qbtest
