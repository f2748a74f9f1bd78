// ReadRegistry: the six proxy settings, read afresh at every Connect.
//
// Each value is queried into a temporary and copied into its field only
// when it is stored as the kind the field needs and fits it: a string must
// be REG_SZ and end within the field, a number must be a 4-byte REG_DWORD.
// Anything else counts as a failed query and the field keeps what it had.
#include "CSocks.h"
#include "current_user.h"

#include <string.h>

namespace {

const char kProxyKey[] = "Software\\Quillbrook\\Game\\Share\\Proxy";
const DWORD kMaxStringField = 64;

bool QueryDword(HKEY hKey, const char* lpszName, DWORD* pdwValue) {
  DWORD dwType = REG_NONE;
  DWORD dwValue = 0;
  DWORD cbData = sizeof(dwValue);
  if (RegQueryValueExA(hKey, lpszName, NULL, &dwType, reinterpret_cast<LPBYTE>(&dwValue),
                       &cbData) != ERROR_SUCCESS) {
    return false;
  }
  if (dwType != REG_DWORD || cbData != sizeof(dwValue)) return false;
  *pdwValue = dwValue;
  return true;
}

// Copies the string into lpszField (cbField bytes, at most kMaxStringField)
// only when the whole value, terminator included, fits.
bool QueryString(HKEY hKey, const char* lpszName, char* lpszField, DWORD cbField) {
  char szValue[kMaxStringField];
  memset(szValue, 0, sizeof(szValue));
  DWORD dwType = REG_NONE;
  DWORD cbData = cbField;
  LONG lResult = RegQueryValueExA(hKey, lpszName, NULL, &dwType,
                                  reinterpret_cast<LPBYTE>(szValue), &cbData);
  bool bValid = lResult == ERROR_SUCCESS && dwType == REG_SZ && cbData <= cbField &&
                memchr(szValue, '\0', cbField) != NULL;
  if (bValid) memcpy(lpszField, szValue, cbField);
  SecureZeroMemory(szValue, sizeof(szValue));  // it may have held the password
  return bValid;
}

}  // namespace

void CSocks::ReadRegistry() {
  static_assert(sizeof(m_szSocksServer) <= kMaxStringField, "string fields fit the temporary");
  static_assert(sizeof(m_nSocksPort) == sizeof(DWORD) && sizeof(m_bProxyEnable) == sizeof(DWORD),
                "number fields are 32 bits");

  HKEY hKey = NULL;
  if (qbplatform::OpenCurrentUserKey(kProxyKey, &hKey) != ERROR_SUCCESS) {
    m_bProxyEnable = 0;
    return;
  }

  DWORD dwValue = 0;
  if (QueryDword(hKey, "SocksPort", &dwValue)) m_nSocksPort = dwValue;
  QueryString(hKey, "SocksServer", m_szSocksServer, sizeof(m_szSocksServer));
  m_bProxyEnable = QueryDword(hKey, "ProxyEnable", &dwValue) ? static_cast<BOOL>(dwValue) : 0;
  if (QueryDword(hKey, "SocksVersion", &dwValue)) m_nSocksVersion = dwValue;
  QueryString(hKey, "UserName", m_szUserName, sizeof(m_szUserName));
  QueryString(hKey, "Password", m_szPassword, sizeof(m_szPassword));

  if (m_szSocksServer[0] == '\0' || m_nSocksPort == 0) m_bProxyEnable = 0;
  if (m_nSocksVersion != 4 && m_nSocksVersion != 5) m_bProxyEnable = 0;

  RegCloseKey(hKey);
}
