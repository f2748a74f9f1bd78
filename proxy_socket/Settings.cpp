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

bool QueryDword(HKEY hKey, ValueIndex index, DWORD* pdwValue, LONG* plUnread) {
  DWORD dwType = REG_NONE;
  DWORD dwValue = 0;
  DWORD cbData = sizeof(dwValue);
  const LONG lResult =
      RegQueryValueExA(hKey, kValues[index].lpszName, NULL, &dwType, reinterpret_cast<LPBYTE>(&dwValue), &cbData);
  NoteResult(lResult, plUnread);
  if (lResult != ERROR_SUCCESS || !qbsettings::IsTaken(index, dwType, &dwValue, cbData)) return false;
  *pdwValue = dwValue;
  return true;
}

// Copies the string into its field (as wide as the table says, at most
// kMaxStringField) only when the whole value, terminator included, fits.
bool QueryString(HKEY hKey, ValueIndex index, char* lpszField, LONG* plUnread) {
  char szValue[kMaxStringField];
  memset(szValue, 0, sizeof(szValue));
  const DWORD cbField = kValues[index].cbWidth;
  DWORD dwType = REG_NONE;
  DWORD cbData = cbField;
  LONG lResult = RegQueryValueExA(hKey, kValues[index].lpszName, NULL, &dwType,
                                  reinterpret_cast<LPBYTE>(szValue), &cbData);
  NoteResult(lResult, plUnread);
  bool bValid = lResult == ERROR_SUCCESS && qbsettings::IsTaken(index, dwType, szValue, cbData);
  if (bValid) memcpy(lpszField, szValue, cbField);
  SecureZeroMemory(szValue, sizeof(szValue));  // it may have held the password
  return bValid;
}

// Appends lpszText to the text in lpszOut (cbOut bytes), cutting it short.
// lstrlenA: the module imports no other string function.
void AppendText(char* lpszOut, size_t cbOut, const char* lpszText) {
  const size_t nHave = static_cast<size_t>(lstrlenA(lpszOut));
  size_t nAdd = static_cast<size_t>(lstrlenA(lpszText));
  if (nHave + nAdd >= cbOut) nAdd = cbOut - 1 - nHave;
  memcpy(lpszOut + nHave, lpszText, nAdd);
  lpszOut[nHave + nAdd] = '\0';
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
  // "error N", the number written out without the C library's formatting.
  char szNumber[16];
  char* p = szNumber + sizeof(szNumber);
  *--p = '\0';
  DWORD dwLeft = static_cast<DWORD>(lError);
  do {
    *--p = static_cast<char>('0' + dwLeft % 10);
    dwLeft /= 10;
  } while (dwLeft != 0);
  AppendText(lpszOut, cbOut, "error ");
  AppendText(lpszOut, cbOut, p);
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

LONG CSocks::ReadSettings(BOOL bWithPassword, unsigned* pnWhyOff) {
  using namespace qbsettings;
  static_assert(sizeof(m_szSocksServer) == kValues[kSocksServer].cbWidth &&
                    sizeof(m_szUserName) == kValues[kUserName].cbWidth &&
                    sizeof(m_szPassword) == kValues[kPassword].cbWidth,
                "the string fields are as wide as the settings say");
  static_assert(sizeof(m_szSocksServer) <= kMaxStringField, "string fields fit the temporary");
  static_assert(sizeof(m_nSocksPort) == sizeof(DWORD) && sizeof(m_bProxyEnable) == sizeof(DWORD),
                "number fields are 32 bits");

  HKEY hKey = NULL;
  const LONG lOpened = qbplatform::OpenCurrentUserKey(kProxyKey, &hKey);
  if (lOpened != ERROR_SUCCESS) {
    m_bProxyEnable = 0;
    if (pnWhyOff != NULL) *pnWhyOff = kNoKey;
    return IsUsersOwn(lOpened) ? ERROR_SUCCESS : lOpened;
  }

  LONG lUnread = ERROR_SUCCESS;
  DWORD dwValue = 0;
  if (QueryDword(hKey, kSocksPort, &dwValue, &lUnread)) m_nSocksPort = dwValue;
  QueryString(hKey, kSocksServer, m_szSocksServer, &lUnread);
  m_bProxyEnable = QueryDword(hKey, kProxyEnable, &dwValue, &lUnread) ? static_cast<BOOL>(dwValue) : 0;
  if (QueryDword(hKey, kSocksVersion, &dwValue, &lUnread)) m_nSocksVersion = dwValue;
  QueryString(hKey, kUserName, m_szUserName, &lUnread);
  if (bWithPassword) QueryString(hKey, kPassword, m_szPassword, &lUnread);

  const unsigned nWhyOff =
      WhyProxyOff(static_cast<DWORD>(m_bProxyEnable), m_szSocksServer, m_nSocksPort, m_nSocksVersion);
  if (nWhyOff != 0 || lUnread != ERROR_SUCCESS) m_bProxyEnable = 0;
  if (pnWhyOff != NULL) *pnWhyOff = nWhyOff;

  RegCloseKey(hKey);
  return lUnread;
}
