// The current user's settings key, for the user the calling thread acts
// for. Windows maps HKEY_CURRENT_USER once per process, for whichever token
// first touched it: a service that impersonates client A and then client B
// would read A's settings (or its own) for both, while GetUserNameA names
// the impersonated user. So a thread that impersonates opens its user's
// key with RegOpenCurrentUser (closed again at once); one that does not
// uses HKEY_CURRENT_USER as before. Elsewhere there is one user per process.
#ifndef QBSOCKS_PLATFORM_CURRENT_USER_H
#define QBSOCKS_PLATFORM_CURRENT_USER_H

#include "win32.h"

namespace qbplatform {

#ifdef _WIN32

// The calls that tell and open the impersonated user's key; a null entry
// is the system's own. Tests replace them, as Wine cannot impersonate; the
// table is zero-initialised data, so that nothing runs before the module's
// entry.
struct CurrentUserCalls {
  BOOL(WINAPI* pfnOpenThreadToken)(HANDLE, DWORD, BOOL, PHANDLE);
  LONG(WINAPI* pfnRegOpenCurrentUser)(REGSAM, PHKEY);
};
inline CurrentUserCalls g_currentUserCalls;

// Whether the calling thread impersonates: it has a token of its own. A
// token that cannot be read counts as one, so that the caller never falls
// back to the process's user.
inline bool ThreadImpersonates() {
  HANDLE hToken = NULL;
  const BOOL bOpened = g_currentUserCalls.pfnOpenThreadToken != NULL
                           ? g_currentUserCalls.pfnOpenThreadToken(GetCurrentThread(), TOKEN_QUERY,
                                                                   TRUE, &hToken)
                           : OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &hToken);
  if (!bOpened) return GetLastError() != ERROR_NO_TOKEN;
  CloseHandle(hToken);
  return true;
}

// RegOpenKeyA under the current user's key: that of the impersonated user
// when the thread impersonates. When that user's key cannot be opened, the
// open fails with RegOpenCurrentUser's error; it never reads another
// user's settings instead. Not yet closed: for a user whose profile is not
// loaded, RegOpenCurrentUser succeeds with HKEY_USERS\.DEFAULT. Telling
// that apart needs the thread token's SID (GetTokenInformation, a new
// ADVAPI32 import of every flavour) and HKEY_USERS\<SID>.
inline LONG OpenCurrentUserKey(LPCSTR lpSubKey, PHKEY phkResult) {
  if (!ThreadImpersonates()) return RegOpenKeyA(HKEY_CURRENT_USER, lpSubKey, phkResult);
  HKEY hUser = NULL;
  const LONG lUser = g_currentUserCalls.pfnRegOpenCurrentUser != NULL
                         ? g_currentUserCalls.pfnRegOpenCurrentUser(KEY_READ, &hUser)
                         : RegOpenCurrentUser(KEY_READ, &hUser);
  if (lUser != ERROR_SUCCESS) return lUser;
  const LONG lResult = RegOpenKeyA(hUser, lpSubKey, phkResult);
  RegCloseKey(hUser);  // the subkey's handle stays valid without it
  return lResult;
}

#else

inline LONG OpenCurrentUserKey(LPCSTR lpSubKey, PHKEY phkResult) {
  return RegOpenKeyA(HKEY_CURRENT_USER, lpSubKey, phkResult);
}

#endif

}  // namespace qbplatform

#endif  // QBSOCKS_PLATFORM_CURRENT_USER_H
