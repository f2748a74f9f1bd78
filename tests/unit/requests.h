// The requests CSocks sends, as the tests expect them: built by CSocks's
// own builders (Negotiation.h). The tables' rows that spell a request out
// byte by byte pin each builder's framing.
#ifndef QBSOCKS_TESTS_REQUESTS_H
#define QBSOCKS_TESTS_REQUESTS_H

#include <initializer_list>
#include <string>

#include "socks/Negotiation.h"
#include "support/test_platform.h"
#include "support/wire.h"

namespace qbtest {

// Runs a builder on a zero-filled request buffer; its bytes.
template <typename Build>
std::string Built(Build build) {
  BYTE request[kRequestBufferSize] = {};
  return std::string(reinterpret_cast<const char*>(request), build(request));
}

inline std::string Socks5AuthRequest(const std::string& user, const std::string& password) {
  return Built([&](BYTE* out) {
    return BuildSocks5AuthRequest(out, user.data(), static_cast<int>(user.size()), password.data(),
                                  static_cast<int>(password.size()));
  });
}

// CONNECT to an IPv4 address, and to a name.
inline std::string Socks5Request(std::initializer_list<int> ipv4, unsigned port) {
  const std::string address = Bytes(ipv4);
  return Built(
      [&](BYTE* out) { return BuildSocks5AddressRequest(out, reinterpret_cast<const BYTE*>(address.data()), port); });
}

inline std::string Socks5NameRequest(const std::string& name, unsigned port) {
  return Built([&](BYTE* out) { return BuildSocks5NameRequest(out, name.c_str(), port); });
}

// SOCKS4 CONNECT with this USERID (by default the logon name of the user
// running the tests, as CSocks sends it).
inline std::string Socks4Request(std::initializer_list<int> ipv4, unsigned port,
                                 const std::string& user_id = LogonName()) {
  const std::string address = Bytes(ipv4);
  return Built([&](BYTE* out) {
    return BuildSocks4Request(out, reinterpret_cast<const BYTE*>(address.data()), port, user_id.c_str());
  });
}

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_REQUESTS_H
