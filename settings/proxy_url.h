// The proxy settings from a proxy URL, the inverse of the C interface's
// qbsocks_proxy_url: "socks5h://[user[:password]@]host:port" (or socks5://),
// "socks4://host:port", or "off"; the host a name, a dotted IPv4 address
// or an IPv6 address in brackets ("[::1]", stored as "::1"). The URL is checked against the settings'
// rules (proxy_settings.h) before anything is written, and refused with a
// reason when they could not hold it as given: nothing is cut or guessed.
// Compiled into the C interface's module alone (the C++ module writes no
// settings); no C++ library, as the rest of settings/.
#ifndef QBSOCKS_SETTINGS_PROXY_URL_H
#define QBSOCKS_SETTINGS_PROXY_URL_H

#include "settings/proxy_settings.h"

namespace qbsettings {

// The values a URL stands for. Off: ProxyEnable 0 alone, the others kept.
struct ProxyChoice {
  bool bOff;
  DWORD dwVersion;  // 4 or 5
  char szServer[64];
  DWORD dwPort;  // 1 to 65535
  char szUserName[32];
  char szPassword[32];
};

// Parses lpszUrl into *pChoice; false, with why in lpszWhy (cbWhy bytes),
// when it is not a URL the settings can hold. A user name and password
// are percent-decoded. socks4:// takes no user name: SOCKS4 sends the
// system's user name.
bool ParseProxyUrl(const char* lpszUrl, ProxyChoice* pChoice, char* lpszWhy, size_t cbWhy);

// Writes the choice into the current user's key (created when missing):
// on, the five values first and ProxyEnable 1 last, so that a connect
// between the writes goes through the proxy as before or as now; off,
// ProxyEnable 0 alone. ERROR_SUCCESS or the registry's result; a failure
// after the first write leaves the values written before it.
LONG WriteProxyChoice(const ProxyChoice& choice);

// What the store, as written, warns about in qbsocks-reg's words ("warning:
// ~/.config/qbsocks/user.reg is open to other users ..."), terminated
// within cbOut bytes; "" when nothing. One file per system: on Windows
// always "" (the registry keeps the user's key to the user).
void DescribeStoreWarning(char* lpszOut, size_t cbOut);

}  // namespace qbsettings

#endif  // QBSOCKS_SETTINGS_PROXY_URL_H
