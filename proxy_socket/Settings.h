// The proxy settings as CSocks reads them, said once: where they live, the
// six values (names, kinds, widths), and why a set of them leaves the proxy
// off. ReadRegistry decides by these rules, the C interface's route names
// the same reasons, and qbsocks-reg warns by them; tests, the benchmark and
// the tools take the key path from here. Header only, with no C++ library,
// so that every flavour and the tools can include it.
#ifndef QBSOCKS_SETTINGS_H
#define QBSOCKS_SETTINGS_H

#include "win32.h"

#include <stddef.h>
#include <string.h>

// The key under HKEY_CURRENT_USER.
#define QBSOCKS_PROXY_KEY "Software\\Quillbrook\\Game\\Share\\Proxy"

// The start of the reporting hook's text when the settings exist but
// cannot be read ("Cannot read the proxy settings: access denied").
#define QBSOCKS_SETTINGS_UNREADABLE_TEXT "Cannot read the proxy settings"

// That text for a registry result, terminated within cbOut bytes.
void DescribeUnreadableSettings(LONG lError, char* lpszOut, size_t cbOut);

namespace qbsettings {

inline constexpr char kProxyKey[] = QBSOCKS_PROXY_KEY;
// The same with its root, as regedit and qbsocks-reg show it.
inline constexpr char kProxyKeyWithRoot[] = "HKEY_CURRENT_USER\\" QBSOCKS_PROXY_KEY;

// The six values, in the order ReadRegistry queries them.
enum ValueIndex { kSocksPort, kSocksServer, kProxyEnable, kSocksVersion, kUserName, kPassword, kValueCount };

struct ValueRule {
  const char* lpszName;
  DWORD dwType;   // the kind its field needs: REG_SZ or a 4-byte REG_DWORD
  DWORD cbWidth;  // the field's bytes, a text's terminator included
};

inline constexpr ValueRule kValues[kValueCount] = {
    {"SocksPort", REG_DWORD, 4},     {"SocksServer", REG_SZ, 64}, {"ProxyEnable", REG_DWORD, 4},
    {"SocksVersion", REG_DWORD, 4},  {"UserName", REG_SZ, 32},    {"Password", REG_SZ, 32},
};

// Whether ReadRegistry takes a value stored as dwType in cbData bytes: it
// is of the kind its field needs, a number has 4 bytes, and a text ends
// within its field (bytes short of the width read as zeros). Anything else
// it leaves unread, and the field keeps what it had.
inline bool IsTaken(ValueIndex index, DWORD dwType, const void* lpData, DWORD cbData) {
  const ValueRule& rule = kValues[index];
  if (dwType != rule.dwType) return false;
  if (dwType == REG_DWORD) return cbData == sizeof(DWORD);
  return cbData < rule.cbWidth || (cbData == rule.cbWidth && memchr(lpData, '\0', cbData) != NULL);
}

// Why the settings leave the proxy off: any of these together.
enum ProxyOffReason : unsigned {
  kNoKey = 1u << 0,           // the key is not there
  kSwitchedOff = 1u << 1,     // ProxyEnable is 0, or not taken
  kNoServer = 1u << 2,        // SocksServer is empty
  kNoPort = 1u << 3,          // SocksPort is 0
  kUnknownVersion = 1u << 4,  // SocksVersion is neither 4 nor 5
};

// The reason one number, as its field holds it, leaves the proxy off; 0
// when it does not.
inline unsigned WhyNumberLeavesProxyOff(ValueIndex index, DWORD dwValue) {
  switch (index) {
    case kProxyEnable: return dwValue == 0 ? kSwitchedOff : 0u;
    case kSocksPort: return dwValue == 0 ? kNoPort : 0u;
    case kSocksVersion: return dwValue != 4 && dwValue != 5 ? kUnknownVersion : 0u;
    default: return 0;
  }
}

// Why the fields, as the key's values left them, leave the proxy off; 0
// when they send Connect through it.
inline unsigned WhyProxyOff(DWORD dwEnable, const char* lpszServer, DWORD dwPort, DWORD dwVersion) {
  return WhyNumberLeavesProxyOff(kProxyEnable, dwEnable) | (lpszServer[0] == '\0' ? kNoServer : 0u) |
         WhyNumberLeavesProxyOff(kSocksPort, dwPort) | WhyNumberLeavesProxyOff(kSocksVersion, dwVersion);
}

}  // namespace qbsettings

#endif  // QBSOCKS_SETTINGS_H
