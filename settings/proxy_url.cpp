// A proxy URL into the six settings (proxy_url.h). The URL is read once,
// left to right, into a ProxyChoice; every part is checked against what
// the settings hold before the first write, so that a refused URL leaves
// the settings as they were.
#include "settings/proxy_url.h"
#include "settings/current_user.h"
#include "afx/address_text.h"

#include <string.h>

namespace {

using qbsettings::ProxyChoice;

// The text in lpszOut (cbOut bytes) from the pieces, cut to fit.
void Say(char* lpszOut, size_t cbOut, const char* lpszFirst, const char* lpszSecond = "", const char* lpszThird = "",
         const char* lpszFourth = "") {
  if (cbOut == 0) return;
  lpszOut[0] = '\0';
  const char* pieces[] = {lpszFirst, lpszSecond, lpszThird, lpszFourth};
  size_t nHave = 0;
  for (const char* lpszPiece : pieces) {
    for (; *lpszPiece != '\0' && nHave + 1 < cbOut; ++lpszPiece) lpszOut[nHave++] = *lpszPiece;
  }
  lpszOut[nHave] = '\0';
}

// A span of the URL: [p, p + n).
struct Span {
  const char* p;
  size_t n;
};

bool StartsWithNoCase(const char* lpszText, const char* lpszPrefix) {
  for (; *lpszPrefix != '\0'; ++lpszText, ++lpszPrefix) {
    const char c = (*lpszText >= 'A' && *lpszText <= 'Z') ? static_cast<char>(*lpszText - 'A' + 'a') : *lpszText;
    if (c != *lpszPrefix) return false;
  }
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

const char kTooLong[] = "too long";

// Why a decoded part cannot be stored, or null: what the field holds, and
// the bytes the URL itself cannot carry unescaped.
const char* Decode(Span span, char* lpszField, size_t cbField) {
  size_t nOut = 0;
  for (size_t i = 0; i < span.n; ++i) {
    int c = static_cast<unsigned char>(span.p[i]);
    if (c == '%') {
      const int hi = i + 2 < span.n ? HexDigit(span.p[i + 1]) : -1;
      const int lo = hi >= 0 ? HexDigit(span.p[i + 2]) : -1;
      if (lo < 0) return "a '%' not followed by two hex digits";
      c = hi << 4 | lo;
      i += 2;
      if (c == 0) return "a NUL byte (%00), which the settings cannot hold";
    } else if (c <= ' ' || c == 0x7F || c == '/' || c == '?' || c == '#' || c == '[' || c == ']') {
      return "a character a URL carries only percent-escaped";
    }
    if (nOut + 1 >= cbField) return kTooLong;
    lpszField[nOut++] = static_cast<char>(c);
  }
  lpszField[nOut] = '\0';
  return NULL;
}

// Decodes a part into its field (lpszLongest: its room, in words); false
// with why when it does not fit.
bool DecodePart(Span span, const char* lpszWhat, const char* lpszLongest, char* lpszField, size_t cbField,
                char* lpszWhy, size_t cbWhy) {
  const char* lpszProblem = Decode(span, lpszField, cbField);
  if (lpszProblem == NULL) return true;
  if (lpszProblem == kTooLong) {
    Say(lpszWhy, cbWhy, lpszWhat, " is longer than the settings hold (at most ", lpszLongest, " bytes)");
  } else {
    Say(lpszWhy, cbWhy, lpszWhat, " has ", lpszProblem);
  }
  return false;
}

// "1" to "65535", digits alone.
bool ParsePort(Span span, DWORD* pdwPort) {
  if (span.n == 0 || span.n > 5) return false;
  DWORD dwPort = 0;
  for (size_t i = 0; i < span.n; ++i) {
    if (span.p[i] < '0' || span.p[i] > '9') return false;
    dwPort = dwPort * 10 + static_cast<DWORD>(span.p[i] - '0');
  }
  *pdwPort = dwPort;
  return dwPort >= 1 && dwPort <= 65535;
}

// The position of c in span, or span.n.
size_t Find(Span span, char c, size_t from = 0) {
  while (from < span.n && span.p[from] != c) ++from;
  return from;
}

size_t FindLast(Span span, char c) {
  for (size_t i = span.n; i-- > 0;)
    if (span.p[i] == c) return i;
  return span.n;
}

bool ParseUserInfo(Span info, ProxyChoice* pChoice, char* lpszWhy, size_t cbWhy) {
  if (pChoice->dwVersion == 4) {
    Say(lpszWhy, cbWhy, "a socks4:// URL takes no user name: SOCKS4 sends the system's user name");
    return false;
  }
  const size_t nColon = Find(info, ':');
  const Span user = {info.p, nColon};
  const Span password = {info.p + nColon + (nColon < info.n ? 1 : 0), nColon < info.n ? info.n - nColon - 1 : 0};
  if (user.n == 0) {
    Say(lpszWhy, cbWhy, "the URL has no user name before its '@'");
    return false;
  }
  return DecodePart(user, "the user name", "31", pChoice->szUserName, sizeof(pChoice->szUserName), lpszWhy, cbWhy) &&
         DecodePart(password, "the password", "31", pChoice->szPassword, sizeof(pChoice->szPassword), lpszWhy, cbWhy);
}

// "[v6]" before the port's ':': stored bare ("::1"), as the connect takes
// it; false with why when it is not an IPv6 address.
bool ParseBracketedHost(Span host, ProxyChoice* pChoice, char* lpszWhy, size_t cbWhy) {
  const Span address = {host.p + 1, host.n - 2};
  BYTE address6[16];
  if (!qbafx::ParseIpv6Text(address.p, address.n, address6)) {
    Say(lpszWhy, cbWhy, "the host in brackets is not an IPv6 address");
    return false;
  }
  memcpy(pChoice->szServer, address.p, address.n);  // at most 45 bytes: 63 fit
  pChoice->szServer[address.n] = '\0';
  return true;
}

bool ParseHostPort(Span hostPort, ProxyChoice* pChoice, char* lpszWhy, size_t cbWhy) {
  const bool bBracketed = hostPort.n > 0 && hostPort.p[0] == '[';
  const size_t nClose = bBracketed ? Find(hostPort, ']') : 0;
  if (bBracketed && nClose == hostPort.n) {
    Say(lpszWhy, cbWhy, "the URL has a '[' without its ']'");
    return false;
  }
  const size_t nColon = Find(hostPort, ':', nClose);
  if (bBracketed && nColon != nClose + 1 && nColon != hostPort.n) {
    Say(lpszWhy, cbWhy, "the URL has more than a port after its ']'");
    return false;
  }
  const Span host = {hostPort.p, bBracketed ? nClose + 1 : nColon};
  const Span port = {hostPort.p + nColon + 1, nColon < hostPort.n ? hostPort.n - nColon - 1 : 0};
  if (host.n == 0) {
    Say(lpszWhy, cbWhy, "the URL names no proxy host");
    return false;
  }
  if (nColon == hostPort.n) {
    Say(lpszWhy, cbWhy, "the URL names no port (socks5h://host:port)");
    return false;
  }
  if (!ParsePort(port, &pChoice->dwPort)) {
    Say(lpszWhy, cbWhy, "the port is not a number from 1 to 65535");
    return false;
  }
  if (bBracketed) return ParseBracketedHost(host, pChoice, lpszWhy, cbWhy);
  if (!DecodePart(host, "the host", "63", pChoice->szServer, sizeof(pChoice->szServer), lpszWhy, cbWhy)) return false;
  for (const char* p = pChoice->szServer; *p != '\0'; ++p) {
    const char c = *p;
    const bool bNameByte = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
                           c == '.' || c == '_' || static_cast<unsigned char>(c) >= 0x80;
    if (!bNameByte) {
      Say(lpszWhy, cbWhy, "the host is neither a name nor a dotted IPv4 address");
      return false;
    }
  }
  return true;
}

// "socks5h://", "socks5://" or "socks4://": its length, and the version.
size_t ParseScheme(const char* lpszUrl, DWORD* pdwVersion) {
  static const struct {
    const char* lpszScheme;
    DWORD dwVersion;
  } kSchemes[] = {{"socks5h://", 5}, {"socks5://", 5}, {"socks4://", 4}};
  for (const auto& scheme : kSchemes) {
    if (StartsWithNoCase(lpszUrl, scheme.lpszScheme)) {
      *pdwVersion = scheme.dwVersion;
      return static_cast<size_t>(lstrlenA(scheme.lpszScheme));
    }
  }
  return 0;
}

LONG SetDword(HKEY hKey, qbsettings::ValueIndex index, DWORD dwValue) {
  return RegSetValueExA(hKey, qbsettings::kValues[index].lpszName, 0, REG_DWORD,
                        reinterpret_cast<const BYTE*>(&dwValue), sizeof(dwValue));
}

LONG SetString(HKEY hKey, qbsettings::ValueIndex index, const char* lpszValue) {
  return RegSetValueExA(hKey, qbsettings::kValues[index].lpszName, 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(lpszValue), static_cast<DWORD>(lstrlenA(lpszValue)) + 1);
}

LONG WriteValues(HKEY hKey, const ProxyChoice& choice) {
  using namespace qbsettings;
  if (choice.bOff) return SetDword(hKey, kProxyEnable, 0);
  LONG lResult = SetString(hKey, kSocksServer, choice.szServer);
  if (lResult == ERROR_SUCCESS) lResult = SetDword(hKey, kSocksPort, choice.dwPort);
  if (lResult == ERROR_SUCCESS) lResult = SetDword(hKey, kSocksVersion, choice.dwVersion);
  if (lResult == ERROR_SUCCESS) lResult = SetString(hKey, kUserName, choice.szUserName);
  if (lResult == ERROR_SUCCESS) lResult = SetString(hKey, kPassword, choice.szPassword);
  if (lResult == ERROR_SUCCESS) lResult = SetDword(hKey, kProxyEnable, 1);
  return lResult;
}

}  // namespace

namespace qbsettings {

bool ParseProxyUrl(const char* lpszUrl, ProxyChoice* pChoice, char* lpszWhy, size_t cbWhy) {
  memset(pChoice, 0, sizeof(*pChoice));
  Say(lpszWhy, cbWhy, "");
  if (StartsWithNoCase(lpszUrl, "off") && lpszUrl[3] == '\0') {
    pChoice->bOff = true;
    return true;
  }
  const size_t nScheme = ParseScheme(lpszUrl, &pChoice->dwVersion);
  if (nScheme == 0) {
    Say(lpszWhy, cbWhy,
        "not a proxy URL: socks5h://[user[:password]@]host:port, socks5://, socks4://host:port or off");
    return false;
  }
  Span rest = {lpszUrl + nScheme, static_cast<size_t>(lstrlenA(lpszUrl)) - nScheme};
  if (rest.n > 0 && rest.p[rest.n - 1] == '/') --rest.n;  // "socks5h://host:port/"
  const size_t nAt = FindLast(rest, '@');
  const bool bUserInfo = nAt < rest.n;
  const Span hostPort = bUserInfo ? Span{rest.p + nAt + 1, rest.n - nAt - 1} : rest;
  const bool bParsed = (!bUserInfo || ParseUserInfo(Span{rest.p, nAt}, pChoice, lpszWhy, cbWhy)) &&
                       ParseHostPort(hostPort, pChoice, lpszWhy, cbWhy);
  if (!bParsed) SecureZeroMemory(pChoice, sizeof(*pChoice));  // the password
  return bParsed;
}

LONG WriteProxyChoice(const ProxyChoice& choice) {
  HKEY hKey = NULL;
  const LONG lOpened = qbplatform::CreateCurrentUserKey(kProxyKey, &hKey);
  if (lOpened != ERROR_SUCCESS) return lOpened;
  const LONG lResult = WriteValues(hKey, choice);
  RegCloseKey(hKey);
  return lResult;
}

}  // namespace qbsettings
