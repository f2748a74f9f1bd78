// What the MSVC-ABI host programs share. They are built as Visual C++ hosts are,
// with Microsoft's C++ ABI, and without a C++ standard library: checks are
// counted here and each program ends with the line "N passed, N failed".
#ifndef QBSOCKS_TESTS_MSVC_HOST_CHECKS_H
#define QBSOCKS_TESTS_MSVC_HOST_CHECKS_H

// Windows' own headers, not the library's: the host that stands for an MFC
// application may include no header of the library but qbsocks.h.
#ifndef _WINSOCKAPI_  // unless a host's <windows.h> took <winsock.h> already
#include <winsock2.h>
#endif
#include <windows.h>

#include <string.h>

// MSVCRT.DLL's own printf family, declared here: MinGW-w64's stdio.h
// routes them through its static library, which this flavour does not link.
extern "C" int __cdecl printf(const char* lpszFormat, ...);
extern "C" int __cdecl _snprintf(char* lpszBuffer, size_t cchBuffer, const char* lpszFormat, ...);

namespace host {

// The settings key the hosts write. The kit ships no settings header, so the
// hosts built against the kit take the key from here; the in-tree build
// holds it against the library's own (socks_host.cpp).
inline constexpr char kProxyKey[] = "Software\\Quillbrook\\Game\\Share\\Proxy";

constexpr bool SameText(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

inline int g_nPassed = 0;
inline int g_nFailed = 0;

// Counts one check; a failed one is printed with its case and what it checked.
inline bool Check(bool bOk, const char* lpszCase, const char* lpszWhat) {
  if (bOk) {
    ++g_nPassed;
  } else {
    ++g_nFailed;
    printf("FAILED: %s: %s\n", lpszCase, lpszWhat);
  }
  return bOk;
}

// The summary line; the program's exit status.
inline int Finish() {
  printf("%d passed, %d failed\n", g_nPassed, g_nFailed);
  return g_nFailed == 0 ? 0 : 1;
}

// Where a call through this address lands: an import thunk (jmp [slot])
// is followed to the function the loader put in the slot. The slot's
// address is absolute on x86 and relative to the next instruction on x64.
inline const void* CallTarget(const void* pCode) {
  const BYTE* pBytes = static_cast<const BYTE*>(pCode);
  if (pBytes[0] != 0xFF || pBytes[1] != 0x25) return pCode;
#ifdef _WIN64
  INT32 nDisplacement;
  memcpy(&nDisplacement, pBytes + 2, sizeof(nDisplacement));
  const void* const* pSlot = reinterpret_cast<const void* const*>(pBytes + 6 + nDisplacement);
#else
  const void* const* pSlot;
  memcpy(&pSlot, pBytes + 2, sizeof(pSlot));
#endif
  return *pSlot;
}

}  // namespace host

#endif  // QBSOCKS_TESTS_MSVC_HOST_CHECKS_H
