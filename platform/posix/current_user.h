// The current user's settings key on POSIX, where a process acts for one
// user: the registry stand-in's HKEY_CURRENT_USER (win/current_user.h has
// Windows', which follows impersonation).
#ifndef QBSOCKS_PLATFORM_POSIX_CURRENT_USER_H
#define QBSOCKS_PLATFORM_POSIX_CURRENT_USER_H

#include "win32.h"

namespace qbplatform {

inline LONG OpenCurrentUserKey(LPCSTR lpSubKey, PHKEY phkResult) {
  return RegOpenKeyA(HKEY_CURRENT_USER, lpSubKey, phkResult);
}

}  // namespace qbplatform

#endif  // QBSOCKS_PLATFORM_POSIX_CURRENT_USER_H
