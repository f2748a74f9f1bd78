// The proxy settings as CSocks reads them, said once: where they live, the
// six values (names, kinds, widths), and why a set of them leaves the proxy
// off. ReadRegistry decides by these rules, the C interface's route names
// the same reasons, and qbsocks-reg warns by them; tests, the benchmark and
// the tools take the key path from here. Header only, with no C++ library,
// so that every flavour and the tools can include it.
#ifndef QBSOCKS_SETTINGS_PROXY_SETTINGS_H
#define QBSOCKS_SETTINGS_PROXY_SETTINGS_H

#include "current_user.h"
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

// The same for a write that failed, in the same words ("Cannot write the
// proxy settings: access denied").
#define QBSOCKS_SETTINGS_UNWRITABLE_TEXT "Cannot write the proxy settings"
void DescribeUnwritableSettings(LONG lError, char* lpszOut, size_t cbOut);

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
    {"SocksPort", REG_DWORD, 4},    {"SocksServer", REG_SZ, 64}, {"ProxyEnable", REG_DWORD, 4},
    {"SocksVersion", REG_DWORD, 4}, {"UserName", REG_SZ, 32},    {"Password", REG_SZ, 32},
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

// ---- The settings read ----
//
// The six values as one read of the key leaves them: CSocks::ReadSettings
// and the C interface's route both read through ReadProxySettings, so that
// the route says what a connect would do.
struct ProxySettings {
  char szServer[64];
  DWORD dwPort;
  DWORD dwVersion;
  char szUserName[32];
  char szPassword[32];
  DWORD dwEnable;  // 0 whenever nWhyOff is not
  // Why they leave the proxy off (ProxyOffReason), 0 when they do not.
  unsigned nWhyOff;
  // How each value is stored, for the description of a value not taken:
  // its type (REG_NONE when it is not there) and its bytes.
  DWORD dwStoredType[kValueCount];
  DWORD cbStored[kValueCount];
  bool bTaken[kValueCount];  // it was there and replaced its field
};

// The length of a settings field's text (szUserName, szPassword): up to its
// terminator, or all but the last byte when it has none.
inline int FieldLength(const char* lpszField, size_t cbField) {
  const void* pEnd = memchr(lpszField, '\0', cbField);
  return static_cast<int>(pEnd != NULL ? static_cast<const char*>(pEnd) - lpszField : cbField - 1);
}

// What the read does with the password: reads it into szPassword, or only
// asks whether it could be read (the route, which needs no password).
enum PasswordRead { kReadPassword, kCheckPassword };

// Reads the key into *pSettings. A value that is there and taken replaces
// its field; any other leaves the field as the caller filled it (so a
// CSocks keeps what it had). ERROR_SUCCESS, or the store's failure when the
// settings exist but cannot be read (the proxy is then off).
LONG ReadProxySettings(ProxySettings* pSettings, PasswordRead password);
// The same from a key already opened (lOpened ERROR_SUCCESS, hKey then
// closed here) or from the open's failure: the two reads' common part.
LONG ReadOpenedSettings(LONG lOpened, HKEY hKey, ProxySettings* pSettings, PasswordRead password);

// What a read within a bound came to.
struct BoundedRead {
  bool bGivenUp;  // the bound said so first: nothing was read
  LONG lUnread;   // else as ReadProxySettings returns
};

// ReadProxySettings within a connect's bound (the C interface), which the
// store looks at while it would wait for another thread's parse or parse
// a large file. Inline, so that only a module that bounds its reads links
// the store's bounded open.
inline BoundedRead ReadProxySettingsWithin(const qbplatform::ReadBound& bound, ProxySettings* pSettings,
                                           PasswordRead password) {
  HKEY hKey = NULL;
  const qbplatform::OpenWithin opened = qbplatform::OpenCurrentUserKeyWithin(kProxyKey, &hKey, bound);
  if (opened.bGivenUp) return BoundedRead{true, ERROR_SUCCESS};
  return BoundedRead{false, ReadOpenedSettings(opened.lResult, hKey, pSettings, password)};
}

// The server as a route or a proxy URL writes it, terminated within cbOut
// bytes: an IPv6 address ("::1", or "[::1]" as a user may store it) in
// brackets, so that the port's ':' after it reads apart; anything else as
// it is. True when it was bracketed: a ':', which no name or dotted IPv4
// address has, marks an IPv6 address.
bool BracketServer(const char* lpszServer, char* lpszOut, size_t cbOut);

// The route those settings choose, in words, terminated within cbOut bytes:
// "SOCKS5 proxy 127.0.0.1:1080 as alice" ("[::1]:1080" for
// an IPv6 address), "direct", or "direct: " and why
// when ProxyEnable is on but other values turn the proxy off, each said as
// it is stored ("SocksPort is stored as REG_SZ, not REG_DWORD"). Returns
// the length of the whole text.
size_t DescribeRoute(const ProxySettings& settings, char* lpszOut, size_t cbOut);
// Why one value, as stored, is not taken or leaves the proxy off ("SocksPort
// is 0", "SocksServer is not set"); "" when it does neither. The route and
// qbsocks-reg's warnings say it in these words.
void DescribeValue(const ProxySettings& settings, ValueIndex index, char* lpszOut, size_t cbOut);
// DescribeValue of one value as stored (dwType and cbData bytes of lpData;
// REG_NONE: not there), the others as a proxy that is on has them: what
// qbsocks-reg warns about a value it stored.
void DescribeStoredValue(ValueIndex index, DWORD dwType, const void* lpData, DWORD cbData, char* lpszOut,
                         size_t cbOut);

}  // namespace qbsettings

#endif  // QBSOCKS_SETTINGS_PROXY_SETTINGS_H
