// The Win32 API of win32.h on Windows: the system's own headers, brought
// in as a host's may already have brought them, and the class library's
// export macro and Unicode helpers. Included by win32.h alone.
#ifndef QBSOCKS_PLATFORM_WIN32_WINDOWS_H
#define QBSOCKS_PLATFORM_WIN32_WINDOWS_H

// A host may have included <windows.h> first (a Visual Studio project does,
// through its precompiled header). Unless WIN32_LEAN_AND_MEAN was defined,
// that brought Windows Sockets 1.1's <winsock.h>, which <winsock2.h> cannot
// follow; or the host may have included <winsock2.h> before it. Either
// Winsock header declares everything these headers use (the class library
// speaks Windows Sockets 1.1, as MFC's own socket header does), so the one
// that is there is kept, and <winsock.h> added where <windows.h> came
// without one. Included before any of them, these headers bring Winsock 2,
// which the library's own sources and tests use.
#if !defined(_WINDOWS_) && !defined(_WINSOCKAPI_)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#endif
#include <windows.h>
#ifndef _WINSOCKAPI_
#include <winsock.h>
#endif

#if defined(QBAFX_STATIC)
#define QBPLATFORM_API
#elif defined(QBAFX_BUILD)
#define QBPLATFORM_API __declspec(dllexport)
#else
#define QBPLATFORM_API __declspec(dllimport)
#endif

// The text parameters of the class library's exports: 8-bit whatever the
// host's character set. LPCTSTR is wide where UNICODE is defined (a new
// Visual Studio project defines it), which would ask qbafx.dll for
// functions it does not export.
#define QBAFX_LPCSTR LPCSTR

#ifdef UNICODE
// The headers add inline wide overloads of the exports that take text.
// They are templates that accept wchar_t alone: a template member of an
// imported class is compiled into the host, never imported (an ordinary
// inline member would be, where it is not inlined), and a literal NULL or
// a SOCKADDR* still picks the exported function.
#define QBAFX_WIDE_OVERLOADS 1

namespace qbafx {

template <class TChar, class TResult>
struct WideOnly {};
template <class TResult>
struct WideOnly<wchar_t, TResult> {
  typedef TResult Type;
};

// Whether a host name is ASCII, as a name on the wire is. A name with
// letters beyond it would reach the proxy in the ANSI code page's bytes,
// which no resolver reads as the name that was meant; the host passes
// its ASCII form (IDNA, "xn--...", as IdnToAscii gives it) instead.
inline bool IsAsciiHostName(LPCWSTR lpszHost) {
  for (; lpszHost != NULL && *lpszHost != L'\0'; ++lpszHost) {
    if (*lpszHost > 0x7F) return false;
  }
  return true;
}

// A Unicode host's text in the ANSI code page, for the 8-bit function. A
// text the code page cannot hold is not passed on as another text (no
// best-fit letters, no '?'): the conversion fails with
// ERROR_NO_UNICODE_TRANSLATION, and so does the call. A null text stays
// null.
class AnsiText {
 public:
  explicit AnsiText(LPCWSTR lpszWide) {
    if (lpszWide != NULL) Convert(lpszWide);
  }
  ~AnsiText() {
    if (m_pszText != NULL && m_pszText != m_szShort) HeapFree(GetProcessHeap(), 0, m_pszText);
  }
  AnsiText(const AnsiText&) = delete;
  AnsiText& operator=(const AnsiText&) = delete;

  bool IsValid() const { return m_bValid; }
  LPCSTR Text() const { return m_pszText; }

 private:
  void Convert(LPCWSTR lpszWide) {
    // A UTF-8 code page holds every character, and takes neither flags nor
    // the lost-character report.
    const bool bUtf8 = GetACP() == CP_UTF8;
    const DWORD dwFlags = bUtf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL bLost = FALSE;
    const int nSize = WideCharToMultiByte(CP_ACP, dwFlags, lpszWide, -1, NULL, 0, NULL, bUtf8 ? NULL : &bLost);
    m_bValid = nSize > 0 && !bLost;
    if (!m_bValid) {
      if (bLost) SetLastError(ERROR_NO_UNICODE_TRANSLATION);
      return;
    }
    m_pszText = nSize <= static_cast<int>(sizeof(m_szShort))
                    ? m_szShort
                    : static_cast<LPSTR>(HeapAlloc(GetProcessHeap(), 0, nSize));
    m_bValid =
        m_pszText != NULL && WideCharToMultiByte(CP_ACP, dwFlags, lpszWide, -1, m_pszText, nSize, NULL, NULL) > 0;
    if (m_pszText == NULL) SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  }

  char m_szShort[MAX_PATH];
  LPSTR m_pszText = NULL;
  bool m_bValid = true;
};

}  // namespace qbafx
#endif  // UNICODE

#endif  // QBSOCKS_PLATFORM_WIN32_WINDOWS_H
