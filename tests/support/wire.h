// The bytes of the SOCKS conversations and the texts CSocks reports, as
// the tests write them: each in one place. The requests CSocks builds are
// in tests/unit/requests.h, from CSocks's own builders.
#ifndef QBSOCKS_TESTS_SUPPORT_WIRE_H
#define QBSOCKS_TESTS_SUPPORT_WIRE_H

#include <initializer_list>
#include <string>

#include "support/test_platform.h"

namespace qbtest {

// Bytes from a list of values, for writing wire layouts in tables.
inline std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out.push_back(static_cast<char>(v));
  return out;
}

// A port as it travels: the low 16 bits, high byte first.
inline std::string PortBytes(unsigned port) {
  return Bytes({static_cast<int>(port >> 8 & 0xFF), static_cast<int>(port & 0xFF)});
}

// ---- SOCKS5 ----

// CSocks offers two methods: none, and user name and password.
inline const std::string kSocks5Offer = Bytes({5, 2, 0, 2});
inline const std::string kNoAuthChoice = Bytes({5, 0});
inline const std::string kPasswordChoice = Bytes({5, 2});
inline const std::string kAuthAccepted = Bytes({1, 0});

// A reply with this code and bound address (of this type), port 0x1234.
inline std::string Socks5Reply(int rep, int atyp, const std::string& address) {
  return Bytes({5, rep, 0, atyp}) + address + PortBytes(0x1234);
}

inline const std::string kSocks5Succeeded = Socks5Reply(0, 1, Bytes({127, 0, 0, 1}));

// ---- SOCKS4 ----

inline std::string Socks4Reply(int vn, int cd) { return Bytes({vn, cd, 0, 0, 0, 0, 0, 0}); }

// ---- What CSocks reports (spelt as it spells them) ----

inline constexpr char kGeneralFailure[] = "General negotiation failure";
inline constexpr char kResolveFailure[] = "General name resolve failure";
inline constexpr char kAuthFailure[] = "Username/password subnegotition failure";
inline constexpr char kNoMethodFailure[] = "General SOCKS5 authentication failure";
inline constexpr char kSocks5VersionFailure[] = "SOCKS5 version negotition failur";
inline constexpr char kConnectionRefused[] = "Connection refused";
inline constexpr char kSocks4NoNames[] = "SOCKS4 can't resolve domain name, you should use IP address";
inline constexpr char kSocks4NoIpv6[] = "SOCKS4 cannot carry an IPv6 address";
inline constexpr char kSocks4Rejected[] = "Request rejected or failed";

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_SUPPORT_WIRE_H
