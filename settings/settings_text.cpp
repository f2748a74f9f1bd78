// The settings in words: why a value is not taken or leaves the proxy off
// (DescribeValue, the one description the route and qbsocks-reg's warnings
// share), the route, and the unreadable settings' text. Apart from the
// read, with nothing of CSocks, so that qbsocks-reg compiles it too.
#include "proxy_settings.h"

#include <string.h>

namespace {

// Appends lpszText to the text in lpszOut (cbOut bytes), cutting it short.
// lstrlenA: the module imports no other string function.
void AppendText(char* lpszOut, size_t cbOut, const char* lpszText) {
  if (cbOut == 0) return;
  const size_t nHave = static_cast<size_t>(lstrlenA(lpszOut));
  size_t nAdd = static_cast<size_t>(lstrlenA(lpszText));
  if (nHave + nAdd >= cbOut) nAdd = cbOut - 1 - nHave;
  memcpy(lpszOut + nHave, lpszText, nAdd);
  lpszOut[nHave + nAdd] = '\0';
}

// A number in decimal, written out without the C library's formatting.
void AppendNumber(char* lpszOut, size_t cbOut, DWORD dwNumber) {
  char szNumber[16];
  char* p = szNumber + sizeof(szNumber);
  *--p = '\0';
  do {
    *--p = static_cast<char>('0' + dwNumber % 10);
    dwNumber /= 10;
  } while (dwNumber != 0);
  AppendText(lpszOut, cbOut, p);
}

const char* TypeName(DWORD dwType) {
  switch (dwType) {
    case REG_SZ: return "REG_SZ";
    case REG_EXPAND_SZ: return "REG_EXPAND_SZ";
    case REG_BINARY: return "REG_BINARY";
    case REG_DWORD: return "REG_DWORD";
    case REG_MULTI_SZ: return "REG_MULTI_SZ";
    case 11: return "REG_QWORD";
    case REG_NONE: return "REG_NONE";
    default: return "another type";
  }
}

}  // namespace

namespace {

// lpszStart, then the words for a registry result.
void DescribeStoreError(const char* lpszStart, LONG lError, char* lpszOut, size_t cbOut) {
  static const struct {
    LONG lError;
    const char* lpszWhy;
  } kWords[] = {
      {ERROR_TOO_MANY_OPEN_FILES, "too many open files"},
      {ERROR_ACCESS_DENIED, "access denied"},
      {ERROR_NOT_ENOUGH_MEMORY, "not enough memory"},
      {ERROR_CANTREAD, "the store cannot be read in full"},
      {ERROR_KEY_DELETED, "the key was deleted meanwhile"},
      {ERROR_CANTOPEN, "the path to the store cannot be followed"},
      {ERROR_BADDB, "the store is not in the registry's format"},
      {ERROR_NOT_LOGGED_ON, "the profile of the user the thread acts for is not loaded"},
      {ERROR_CANTWRITE, "the store or its folder cannot be written"},
      {ERROR_NOT_ENOUGH_QUOTA, "the store would hold more than a reader takes"},
  };
  if (cbOut == 0) return;
  lpszOut[0] = '\0';
  AppendText(lpszOut, cbOut, lpszStart);
  for (size_t i = 0; i < sizeof(kWords) / sizeof(kWords[0]); ++i) {
    if (kWords[i].lError == lError) {
      AppendText(lpszOut, cbOut, kWords[i].lpszWhy);
      return;
    }
  }
  AppendText(lpszOut, cbOut, "error ");
  AppendNumber(lpszOut, cbOut, static_cast<DWORD>(lError));
}

}  // namespace

void DescribeUnreadableSettings(LONG lError, char* lpszOut, size_t cbOut) {
  DescribeStoreError(QBSOCKS_SETTINGS_UNREADABLE_TEXT ": ", lError, lpszOut, cbOut);
}

void DescribeUnwritableSettings(LONG lError, char* lpszOut, size_t cbOut) {
  DescribeStoreError(QBSOCKS_SETTINGS_UNWRITABLE_TEXT ": ", lError, lpszOut, cbOut);
}

namespace qbsettings {

void DescribeValue(const ProxySettings& settings, ValueIndex index, char* lpszOut, size_t cbOut) {
  if (cbOut == 0) return;
  lpszOut[0] = '\0';
  const ValueRule& rule = kValues[index];
  const DWORD dwType = settings.dwStoredType[index];
  const auto say = [&](const char* lpszWhat) {
    AppendText(lpszOut, cbOut, rule.lpszName);
    AppendText(lpszOut, cbOut, lpszWhat);
  };
  if (dwType != REG_NONE && !settings.bTaken[index]) {
    if (dwType != rule.dwType) {
      say(" is stored as ");
      AppendText(lpszOut, cbOut, TypeName(dwType));
      AppendText(lpszOut, cbOut, ", not ");
      AppendText(lpszOut, cbOut, TypeName(rule.dwType));
    } else if (rule.dwType == REG_DWORD) {
      say(" is stored in ");
      AppendNumber(lpszOut, cbOut, settings.cbStored[index]);
      AppendText(lpszOut, cbOut, " bytes, not 4");
    } else {
      say(" is longer than ");
      AppendNumber(lpszOut, cbOut, rule.cbWidth - 1);
      AppendText(lpszOut, cbOut, " bytes");
    }
    return;
  }
  const unsigned nWhyOff = settings.nWhyOff;
  switch (index) {
    case kSocksServer:
      if (nWhyOff & kNoServer) say(dwType == REG_NONE ? " is not set" : " is empty");
      break;
    case kSocksPort:
      if (nWhyOff & kNoPort) say(dwType == REG_NONE ? " is not set" : " is 0");
      break;
    case kSocksVersion:
      if (nWhyOff & kUnknownVersion) {
        if (dwType == REG_NONE) {
          say(" is not set");
        } else {
          say(" is ");
          AppendNumber(lpszOut, cbOut, settings.dwVersion);
          AppendText(lpszOut, cbOut, ", not 4 or 5");
        }
      }
      break;
    default: break;
  }
}

bool BracketServer(const char* lpszServer, char* lpszOut, size_t cbOut) {
  if (cbOut == 0) return false;
  lpszOut[0] = '\0';
  bool bIpv6 = false;
  for (const char* p = lpszServer; *p != '\0'; ++p) bIpv6 = bIpv6 || *p == ':';
  const bool bStoredBracketed = lpszServer[0] == '[';
  if (bIpv6 && !bStoredBracketed) AppendText(lpszOut, cbOut, "[");
  AppendText(lpszOut, cbOut, lpszServer);
  if (bIpv6 && !bStoredBracketed) AppendText(lpszOut, cbOut, "]");
  return bIpv6;
}

size_t DescribeRoute(const ProxySettings& settings, char* lpszOut, size_t cbOut) {
  // Long enough for any route: a server of 63 characters, a user of 31, and
  // the reasons of four values.
  char szText[512];
  szText[0] = '\0';
  if (settings.dwEnable) {
    AppendText(szText, sizeof(szText), "SOCKS");
    AppendNumber(szText, sizeof(szText), settings.dwVersion);
    AppendText(szText, sizeof(szText), " proxy ");
    char szServer[sizeof(settings.szServer) + 2];
    BracketServer(settings.szServer, szServer, sizeof(szServer));
    AppendText(szText, sizeof(szText), szServer);
    AppendText(szText, sizeof(szText), ":");
    AppendNumber(szText, sizeof(szText), settings.dwPort & 0xFFFFu);  // the bits the connect uses
    if (settings.dwVersion == 5 && settings.szUserName[0] != '\0') {
      AppendText(szText, sizeof(szText), " as ");
      AppendText(szText, sizeof(szText), settings.szUserName);
    }
  } else {
    AppendText(szText, sizeof(szText), "direct");
    // The other values' reasons only when the user switched the proxy on;
    // a ProxyEnable stored so that it cannot be taken says so alone.
    static const ValueIndex kWhy[] = {kSocksServer, kSocksPort, kSocksVersion};
    const bool bEnableUnread = settings.dwStoredType[kProxyEnable] != REG_NONE && !settings.bTaken[kProxyEnable];
    const bool bUsersChoice = (settings.nWhyOff & (kNoKey | kSwitchedOff)) != 0;
    const char* lpszSeparator = ": ";
    for (int i = -1; i < 3; ++i) {
      if (i == -1 ? !bEnableUnread : bUsersChoice) continue;
      char szWhy[96];
      DescribeValue(settings, i == -1 ? kProxyEnable : kWhy[i], szWhy, sizeof(szWhy));
      if (szWhy[0] == '\0') continue;
      AppendText(szText, sizeof(szText), lpszSeparator);
      AppendText(szText, sizeof(szText), szWhy);
      lpszSeparator = "; ";
    }
  }
  const size_t nLength = static_cast<size_t>(lstrlenA(szText));
  if (cbOut != 0) {
    szText[nLength < cbOut ? nLength : cbOut - 1] = '\0';
    memcpy(lpszOut, szText, (nLength < cbOut ? nLength : cbOut - 1) + 1);
  }
  return nLength;
}

void DescribeStoredValue(ValueIndex index, DWORD dwType, const void* lpData, DWORD cbData, char* lpszOut,
                         size_t cbOut) {
  ProxySettings settings;
  memset(&settings, 0, sizeof(settings));
  settings.dwStoredType[index] = dwType;
  settings.cbStored[index] = cbData;
  settings.bTaken[index] = dwType != REG_NONE && IsTaken(index, dwType, lpData, cbData);
  // The other values as a proxy that is on has them, so that only this one
  // can leave it off.
  DWORD dwEnable = 1, dwPort = 1080, dwVersion = 5;
  char szServer[2] = "x";
  if (settings.bTaken[index]) {
    DWORD dwValue = 0;
    if (dwType == REG_DWORD) memcpy(&dwValue, lpData, sizeof(dwValue));
    switch (index) {
      case kProxyEnable: dwEnable = dwValue; break;
      case kSocksPort: dwPort = dwValue; break;
      case kSocksVersion: dwVersion = dwValue; break;
      case kSocksServer: szServer[0] = cbData != 0 ? static_cast<const char*>(lpData)[0] : '\0'; break;
      default: break;
    }
  }
  settings.dwVersion = dwVersion;
  settings.nWhyOff = WhyProxyOff(dwEnable, szServer, dwPort, dwVersion);
  DescribeValue(settings, index, lpszOut, cbOut);
}

}  // namespace qbsettings
