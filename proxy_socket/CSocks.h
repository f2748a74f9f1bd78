// CSocks: a blocking TCP client socket whose Connect reaches its target
// either directly or through a SOCKS4 or SOCKS5 proxy, as the current
// user's settings under HKEY_CURRENT_USER\Software\Quillbrook\Game\Share\Proxy
// say. Use it as a CSocket: Create, Connect, then Send, Receive, Close.
#ifndef QBSOCKS_CSOCKS_H
#define QBSOCKS_CSOCKS_H

#include "afxsock.h"

#ifdef _WIN32
#if defined(QBSOCKS_BUILD)
#define QBSOCKS_API
#elif defined(QBSOCKS_STATIC)
#define QBSOCKS_API
#else
#define QBSOCKS_API __declspec(dllimport)
#endif
#else
#define QBSOCKS_API __attribute__((visibility("default")))
#endif

namespace qbproxy {
class Handshake;
}

class QBSOCKS_API CSocks : public CSocket {
 public:
  CSocks();
  virtual ~CSocks();

  // Reads the settings, then connects directly or through the proxy.
  // 1 when the socket now carries the target's stream, 0 on failure. A
  // failure on the proxy path closes the socket, unless host code closed it
  // during the call (WSAENOTSOCK): a new socket of the host's is left alone.
  int Connect(const char* lpszHostAddress, unsigned int nHostPort);
#ifdef QBAFX_WIDE_OVERLOADS
  // A Unicode host's name, in the ANSI code page (win32.h); compiled into
  // the host, it adds no export. A name with letters beyond ASCII fails
  // with WSAEINVAL: the host passes its ASCII form (IdnToAscii).
  template <class TChar>
  typename qbafx::WideOnly<TChar, int>::Type Connect(const TChar* lpszHostAddress, unsigned int nHostPort) {
    if (!qbafx::IsAsciiHostName(lpszHostAddress)) {
      WSASetLastError(WSAEINVAL);
      return 0;
    }
    const qbafx::AnsiText host(lpszHostAddress);
    return host.IsValid() && Connect(host.Text(), nHostPort);
  }
#endif

 protected:
  int IsDNS(const char* lpszHost);
  int MyMessageBox(const char* lpszText);
  void ReadRegistry();
  // One receive that waits at most about ten seconds. Its waits run with a
  // pump interval (m_nTimeOut) of 100 ms, so that the reply limit is looked at
  // between them; the caller's interval is back on every way out.
  int MyReceive(void* lpBuf, int nBufLen, int nFlags);
  int Socks4Connect(const char* lpszHost, unsigned int nPort);
  int Socks5Connect(const char* lpszHost, unsigned int nPort);
  int AuthPasswd();

  char m_szSocksServer[64];
  UINT m_nSocksPort;
  UINT m_nSocksVersion;
  char m_szUserName[32];
  char m_szPassword[32];
  BOOL m_bProxyEnable;

 private:
  // MyReceive's bounded receive (Replies.cpp): a count of bytes.
  int ReceiveWithin(void* lpBuf, int nBufLen, int nFlags, DWORD dwStart, DWORD dwLimit);
  // Carries a negotiation (Handshake.h) to its end with the blocking calls
  // (Replies.cpp): 1 when done, 0 when it failed, the socket left open.
  int RunHandshake(qbproxy::Handshake& handshake);
  // The one failure exit of the proxy path: 0, for Connect to return.
  int FailNegotiation(const char* lpszText);
  void CloseOnFailure();
  // ReadRegistry's work, through the settings read of
  // settings/proxy_settings.h: ERROR_SUCCESS, or the registry's result when
  // the settings exist but cannot be read (the proxy is then off).
  LONG ReadSettings();
  void ReportUnreadableSettings(LONG lError);
};

#endif  // QBSOCKS_CSOCKS_H
