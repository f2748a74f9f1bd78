// The six proxy settings, read afresh at every Connect (ReadRegistry.cpp
// puts them into CSocks's fields; the C interface reads them as they are).
//
// Each value is queried into a temporary and copied into its field only
// when it is stored as the kind the field needs and fits it (proxy_settings.h
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
#include "proxy_settings.h"
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
bool QueryValue(HKEY hKey, ValueIndex index, void* lpData, DWORD cbRoom, ProxySettings* pSettings, LONG* plUnread) {
  DWORD dwType = REG_NONE;
  DWORD cbData = cbRoom;
  const LONG lResult =
      RegQueryValueExA(hKey, kValues[index].lpszName, NULL, &dwType, static_cast<LPBYTE>(lpData), &cbData);
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

}  // namespace

namespace qbsettings {

LONG ReadProxySettings(ProxySettings* pSettings, PasswordRead password) {
  HKEY hKey = NULL;
  const LONG lOpened = qbplatform::OpenCurrentUserKey(kProxyKey, &hKey);
  return ReadOpenedSettings(lOpened, hKey, pSettings, password);
}

LONG ReadOpenedSettings(LONG lOpened, HKEY hKey, ProxySettings* pSettings, PasswordRead password) {
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

}  // namespace qbsettings
