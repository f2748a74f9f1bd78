// ReadRegistry: the six proxy settings, read afresh at every Connect.
//
// Each value is queried into a temporary and copied into its field only
// when it is stored as the kind the field needs and fits it (Settings.h
// has the rules): a string must be REG_SZ and end within the field, a
// number must be a 4-byte REG_DWORD. Anything else counts as a failed
// query and the field keeps what it had.
//
// Only the user's own settings turn a switched-on proxy off: a key or value
// that is not there, or not of the kind and size its field needs. When the
// store itself fails (the key cannot be opened or a value cannot be read
// for any other reason), the settings are unreadable: ReadRegistry reports
// it through MyMessageBox and Connect fails, so the connect never goes
// direct because a read failed.
#include "CSocks.h"
#include "Settings.h"
#include "current_user.h"

#include <string.h>

namespace {

using qbsettings::kValues;
using qbsettings::ProxySettings;
using qbsettings::ValueIndex;

const DWORD kMaxStringField = 64;

// Whether a registry result is the user's own: the key or value is there,
// or not there, or larger than its field. Anything else is a failure of
// the store.
bool IsUsersOwn(LONG lResult) {
  return lResult == ERROR_SUCCESS || lResult == ERROR_FILE_NOT_FOUND || lResult == ERROR_PATH_NOT_FOUND ||
         lResult == ERROR_MORE_DATA;
}

// Keeps the first failure of the store in *plUnread.
void NoteResult(LONG lResult, LONG* plUnread) {
  if (*plUnread == ERROR_SUCCESS && !IsUsersOwn(lResult)) *plUnread = lResult;
}

// Queries one value into lpData (cbRoom bytes; NULL asks only for its
// type and size), notes how it is stored, and whether it is taken.
bool QueryValue(HKEY hKey, ValueIndex index, void* lpData, DWORD cbRoom, ProxySettings* pSettings,
                LONG* plUnread) {
  DWORD dwType = REG_NONE;
  DWORD cbData = cbRoom;
  const LONG lResult = RegQueryValueExA(hKey, kValues[index].lpszName, NULL, &dwType,
                                        static_cast<LPBYTE>(lpData), &cbData);
  NoteResult(lResult, plUnread);
  const bool bThere = lResult == ERROR_SUCCESS || lResult == ERROR_MORE_DATA;
  pSettings->dwStoredType[index] = bThere ? dwType : REG_NONE;
  pSettings->cbStored[index] = bThere ? cbData : 0;
  if (lResult != ERROR_SUCCESS) return false;
  if (lpData == NULL) return dwType == kValues[index].dwType && cbData < kValues[index].cbWidth;
  return qbsettings::IsTaken(index, dwType, lpData, cbData);
}

bool QueryDword(HKEY hKey, ValueIndex index, DWORD* pdwField, ProxySettings* pSettings, LONG* plUnread) {
  DWORD dwValue = 0;
  const bool bTaken = QueryValue(hKey, index, &dwValue, sizeof(dwValue), pSettings, plUnread);
  if (bTaken) *pdwField = dwValue;
  return pSettings->bTaken[index] = bTaken;
}

// Copies the string into its field (as wide as the table says, at most
// kMaxStringField) only when the whole value, terminator included, fits.
bool QueryString(HKEY hKey, ValueIndex index, char* lpszField, ProxySettings* pSettings, LONG* plUnread) {
  char szValue[kMaxStringField];
  memset(szValue, 0, sizeof(szValue));
  const DWORD cbField = kValues[index].cbWidth;
  const bool bTaken = QueryValue(hKey, index, szValue, cbField, pSettings, plUnread);
  if (bTaken) memcpy(lpszField, szValue, cbField);
  SecureZeroMemory(szValue, sizeof(szValue));  // it may have held the password
  return pSettings->bTaken[index] = bTaken;
}

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

void DescribeUnreadableSettings(LONG lError, char* lpszOut, size_t cbOut) {
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
  };
  if (cbOut == 0) return;
  lpszOut[0] = '\0';
  AppendText(lpszOut, cbOut, QBSOCKS_SETTINGS_UNREADABLE_TEXT ": ");
  for (size_t i = 0; i < sizeof(kWords) / sizeof(kWords[0]); ++i) {
    if (kWords[i].lError == lError) {
      AppendText(lpszOut, cbOut, kWords[i].lpszWhy);
      return;
    }
  }
  AppendText(lpszOut, cbOut, "error ");
  AppendNumber(lpszOut, cbOut, static_cast<DWORD>(lError));
}

void CSocks::ReadRegistry() {
  const LONG lUnread = ReadSettings();
  if (lUnread != ERROR_SUCCESS) ReportUnreadableSettings(lUnread);
}

void CSocks::ReportUnreadableSettings(LONG lError) {
  char szText[128];
  DescribeUnreadableSettings(lError, szText, sizeof(szText));
  MyMessageBox(szText);
}

// The fields go through the plain read and come back; its copy of the
// password is wiped.
LONG CSocks::ReadSettings() {
  using namespace qbsettings;
  static_assert(sizeof(m_szSocksServer) == sizeof(ProxySettings::szServer) &&
                    sizeof(m_szUserName) == sizeof(ProxySettings::szUserName) &&
                    sizeof(m_szPassword) == sizeof(ProxySettings::szPassword),
                "the string fields are as wide as the settings say");
  static_assert(sizeof(m_nSocksPort) == sizeof(DWORD) && sizeof(m_bProxyEnable) == sizeof(DWORD),
                "number fields are 32 bits");
  ProxySettings settings;
  memcpy(settings.szServer, m_szSocksServer, sizeof(m_szSocksServer));
  settings.dwPort = m_nSocksPort;
  settings.dwVersion = m_nSocksVersion;
  memcpy(settings.szUserName, m_szUserName, sizeof(m_szUserName));
  memcpy(settings.szPassword, m_szPassword, sizeof(m_szPassword));
  const LONG lUnread = ReadProxySettings(&settings, kReadPassword);
  memcpy(m_szSocksServer, settings.szServer, sizeof(m_szSocksServer));
  m_nSocksPort = settings.dwPort;
  m_nSocksVersion = settings.dwVersion;
  memcpy(m_szUserName, settings.szUserName, sizeof(m_szUserName));
  memcpy(m_szPassword, settings.szPassword, sizeof(m_szPassword));
  m_bProxyEnable = static_cast<BOOL>(settings.dwEnable);
  SecureZeroMemory(settings.szPassword, sizeof(settings.szPassword));
  return lUnread;
}

namespace qbsettings {

LONG ReadProxySettings(ProxySettings* pSettings, PasswordRead password) {
  static_assert(sizeof(pSettings->szServer) == kValues[kSocksServer].cbWidth &&
                    sizeof(pSettings->szUserName) == kValues[kUserName].cbWidth &&
                    sizeof(pSettings->szPassword) == kValues[kPassword].cbWidth,
                "the string fields are as wide as the settings say");
  static_assert(sizeof(pSettings->szServer) <= kMaxStringField, "string fields fit the temporary");
  for (int i = 0; i < kValueCount; ++i) {
    pSettings->dwStoredType[i] = REG_NONE;
    pSettings->cbStored[i] = 0;
    pSettings->bTaken[i] = false;
  }
  pSettings->dwEnable = 0;

  HKEY hKey = NULL;
  const LONG lOpened = qbplatform::OpenCurrentUserKey(kProxyKey, &hKey);
  if (lOpened != ERROR_SUCCESS) {
    pSettings->nWhyOff = kNoKey;
    return IsUsersOwn(lOpened) ? ERROR_SUCCESS : lOpened;
  }

  LONG lUnread = ERROR_SUCCESS;
  QueryDword(hKey, kSocksPort, &pSettings->dwPort, pSettings, &lUnread);
  QueryString(hKey, kSocksServer, pSettings->szServer, pSettings, &lUnread);
  QueryDword(hKey, kProxyEnable, &pSettings->dwEnable, pSettings, &lUnread);
  QueryDword(hKey, kSocksVersion, &pSettings->dwVersion, pSettings, &lUnread);
  QueryString(hKey, kUserName, pSettings->szUserName, pSettings, &lUnread);
  if (password == kReadPassword) {
    QueryString(hKey, kPassword, pSettings->szPassword, pSettings, &lUnread);
  } else {
    pSettings->bTaken[kPassword] = QueryValue(hKey, kPassword, NULL, 0, pSettings, &lUnread);
  }
  RegCloseKey(hKey);

  pSettings->nWhyOff = WhyProxyOff(pSettings->dwEnable, pSettings->szServer, pSettings->dwPort, pSettings->dwVersion);
  if (pSettings->nWhyOff != 0 || lUnread != ERROR_SUCCESS) pSettings->dwEnable = 0;
  return lUnread;
}

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
      AppendText(lpszOut, cbOut, " characters");
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
    default:
      break;
  }
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
    AppendText(szText, sizeof(szText), settings.szServer);
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

}  // namespace qbsettings
