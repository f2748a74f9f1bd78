// The current user's settings key: where the store of the user the calling
// code acts for begins.
//
// On POSIX a process acts for one user: the registry stand-in's
// HKEY_CURRENT_USER (the user's settings file).
//
// On Windows, for the user the calling thread acts for. Windows maps
// HKEY_CURRENT_USER once per process, for whichever token first touched it:
// a service that impersonates client A and then client B would read A's
// settings (or its own) for both, while GetUserNameA names the impersonated
// user. So a thread that impersonates opens its user's hive,
// HKEY_USERS\<the SID of its token's user> (closed again at once); one that
// does not uses HKEY_CURRENT_USER as before. Not RegOpenCurrentUser: for a
// user whose profile is not loaded it gives HKEY_USERS\.DEFAULT, another
// user's settings. The token and hive calls go through Windows' system-call
// table (platform/win/system_calls.h).
#ifndef QBSOCKS_SETTINGS_CURRENT_USER_H
#define QBSOCKS_SETTINGS_CURRENT_USER_H

#ifndef _WIN32

#include "win32.h"

namespace qbplatform {

inline LONG OpenCurrentUserKey(LPCSTR lpSubKey, PHKEY phkResult) {
  return RegOpenKeyA(HKEY_CURRENT_USER, lpSubKey, phkResult);
}

// The same key opened for writing, created when it is not there.
inline LONG CreateCurrentUserKey(LPCSTR lpSubKey, PHKEY phkResult) {
  return RegCreateKeyA(HKEY_CURRENT_USER, lpSubKey, phkResult);
}

}  // namespace qbplatform

#else  // _WIN32

#include "win/system_calls.h"

#include <string.h>

namespace qbplatform {

// A failure to read the thread's token as a registry result that never
// reads as "no settings" (the caller takes "not found" as the user's own).
inline LONG TokenFailure(DWORD dwError) {
  const bool bReadsAsAbsent = dwError == ERROR_SUCCESS || dwError == ERROR_FILE_NOT_FOUND ||
                              dwError == ERROR_PATH_NOT_FOUND || dwError == ERROR_MORE_DATA;
  return bReadsAsAbsent ? ERROR_ACCESS_DENIED : static_cast<LONG>(dwError);
}

// "S-1-<authority>-<sub>-<sub>...", as ConvertSidToStringSidA writes it,
// formatted here so that the module needs no further import. pbSid holds
// cbSid bytes; false when they are not a whole SID.
class SidText {
 public:
  bool Format(const BYTE* pbSid, DWORD cbSid) {
    const DWORD cbHead = 8;  // revision, count, 6-byte big-endian authority
    if (cbSid < cbHead || pbSid[0] != SID_REVISION || pbSid[1] > SID_MAX_SUB_AUTHORITIES ||
        cbSid < cbHead + 4u * pbSid[1])
      return false;
    Append("S-1-");
    const BYTE* pbAuthority = pbSid + 2;
    if (pbAuthority[0] != 0 || pbAuthority[1] != 0) {  // 48 bits: hex, as Windows writes it
      Append("0x");
      for (int i = 0; i < 6; ++i) AppendHexByte(pbAuthority[i]);
    } else {
      AppendDecimal(static_cast<DWORD>(pbAuthority[2]) << 24 | static_cast<DWORD>(pbAuthority[3]) << 16 |
                    static_cast<DWORD>(pbAuthority[4]) << 8 | pbAuthority[5]);
    }
    for (BYTE i = 0; i < pbSid[1]; ++i) {
      DWORD dwSub = 0;
      memcpy(&dwSub, pbSid + cbHead + 4u * i, sizeof(dwSub));
      Append("-");
      AppendDecimal(dwSub);
    }
    return true;
  }
  const char* c_str() const { return m_szText; }

 private:
  void Append(const char* lpszText) {
    while (*lpszText != '\0') m_szText[m_nLength++] = *lpszText++;
    m_szText[m_nLength] = '\0';
  }
  void AppendHexByte(BYTE b) {
    const char szDigits[] = "0123456789abcdef";
    const char szByte[] = {szDigits[b >> 4], szDigits[b & 15], '\0'};
    Append(szByte);
  }
  void AppendDecimal(DWORD dwValue) {
    char szNumber[11];
    char* p = szNumber + sizeof(szNumber);
    *--p = '\0';
    do {
      *--p = static_cast<char>('0' + dwValue % 10);
      dwValue /= 10;
    } while (dwValue != 0);
    Append(p);
  }

  // "S-1-0x" and 12 hex digits, then up to 15 times '-' and 10 digits.
  char m_szText[4 + 14 + SID_MAX_SUB_AUTHORITIES * 11 + 1] = {};
  size_t m_nLength = 0;
};

// The text form of the SID of hToken's user.
inline LONG ReadTokenUser(HANDLE hToken, SidText* pSid) {
  union {
    TOKEN_USER user;
    BYTE ab[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  } info;
  DWORD cbInfo = 0;
  const BOOL bRead = sys::GetTokenInformation(hToken, TokenUser, &info, sizeof(info), &cbInfo);
  if (!bRead) return TokenFailure(GetLastError());
  // The SID lies within the bytes returned, after the TOKEN_USER.
  const BYTE* pbSid = static_cast<const BYTE*>(info.user.User.Sid);
  const bool bWithin = cbInfo <= sizeof(info) && pbSid >= info.ab && pbSid <= info.ab + cbInfo;
  if (!bWithin || !pSid->Format(pbSid, static_cast<DWORD>(info.ab + cbInfo - pbSid))) return ERROR_INVALID_SID;
  return ERROR_SUCCESS;
}

// How a subkey is opened: RegOpenKeyA to read, RegCreateKeyA to write.
typedef LONG(WINAPI* KeyOpener)(HKEY, LPCSTR, PHKEY);

// Opens a subkey with open under the current user's key: that of the
// impersonated user when the thread impersonates. That user's hive is opened or nothing is:
// no other user's settings are read instead. A hive that is not there
// (the profile is not loaded) is ERROR_NOT_LOGGED_ON, and a token that
// cannot be read its error, so that neither reads as "no settings"; only a
// subkey missing in the user's own hive does.
inline LONG OpenCurrentUserKeyWith(KeyOpener open, LPCSTR lpSubKey, PHKEY phkResult) {
  HANDLE hToken = NULL;
  const BOOL bOpened = sys::OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &hToken);
  if (!bOpened) {
    const DWORD dwError = GetLastError();
    return dwError == ERROR_NO_TOKEN ? open(HKEY_CURRENT_USER, lpSubKey, phkResult) : TokenFailure(dwError);
  }
  SidText sid;
  const LONG lSid = ReadTokenUser(hToken, &sid);
  CloseHandle(hToken);
  if (lSid != ERROR_SUCCESS) return lSid;

  HKEY hUser = NULL;
  const LONG lUser = sys::RegOpenUsersKey(HKEY_USERS, sid.c_str(), &hUser);
  if (lUser == ERROR_FILE_NOT_FOUND || lUser == ERROR_PATH_NOT_FOUND) return ERROR_NOT_LOGGED_ON;
  if (lUser != ERROR_SUCCESS) return lUser;
  const LONG lResult = open(hUser, lpSubKey, phkResult);
  RegCloseKey(hUser);  // the subkey's handle stays valid without it
  return lResult;
}

// RegOpenKeyA there: the settings read.
inline LONG OpenCurrentUserKey(LPCSTR lpSubKey, PHKEY phkResult) {
  return OpenCurrentUserKeyWith(RegOpenKeyA, lpSubKey, phkResult);
}

// RegCreateKeyA there: the settings written, where the read finds them.
inline LONG CreateCurrentUserKey(LPCSTR lpSubKey, PHKEY phkResult) {
  return OpenCurrentUserKeyWith(RegCreateKeyA, lpSubKey, phkResult);
}

}  // namespace qbplatform

#endif  // _WIN32

#include "read_bound.h"

namespace qbplatform {

// An open within a read's bound: the open's result, or given up (no key
// opened) when the bound said so first.
struct OpenWithin {
  LONG lResult;
  bool bGivenUp;
};

#ifndef _WIN32
// RegOpenKeyA of the registry stand-in, with the bound looked at while it
// would wait for another thread's parse or parse a large file.
OpenWithin RegOpenKeyWithin(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult, const ReadBound& bound);

inline OpenWithin OpenCurrentUserKeyWithin(LPCSTR lpSubKey, PHKEY phkResult, const ReadBound& bound) {
  return RegOpenKeyWithin(HKEY_CURRENT_USER, lpSubKey, phkResult, bound);
}
#else
// Windows' registry takes no bound.
inline OpenWithin OpenCurrentUserKeyWithin(LPCSTR lpSubKey, PHKEY phkResult, const ReadBound&) {
  return OpenWithin{OpenCurrentUserKey(lpSubKey, phkResult), false};
}
#endif

}  // namespace qbplatform

#endif  // QBSOCKS_SETTINGS_CURRENT_USER_H
