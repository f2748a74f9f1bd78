// CSocks: construction, destruction, the connect dispatch and the helpers
// shared by both negotiations.
#include "CSocks.h"

#include <string.h>

CSocks::CSocks() {
  memset(m_szSocksServer, 0, sizeof(m_szSocksServer));
  m_nSocksPort = 0;
  m_nSocksVersion = 0;
  memset(m_szUserName, 0, sizeof(m_szUserName));
  memset(m_szPassword, 0, sizeof(m_szPassword));
  m_bProxyEnable = 1;
}

CSocks::~CSocks() {
  if (m_hSocket != INVALID_SOCKET) CSocket::Close();
}

int CSocks::Connect(const char* lpszHostAddress, unsigned int nHostPort) {
  ReadRegistry();
  if (!m_bProxyEnable) return CAsyncSocket::Connect(lpszHostAddress, nHostPort);

  if (!CAsyncSocket::Connect(m_szSocksServer, m_nSocksPort)) {
    Close();
    return 0;
  }
  if (m_nSocksVersion == 4) return Socks4Connect(lpszHostAddress, nHostPort);
  if (m_nSocksVersion == 5) return Socks5Connect(lpszHostAddress, nHostPort);

  // ReadRegistry turns the proxy off for any other version; a derived class
  // that changed the field in between gets a failure, not a guess.
  Close();
  return 0;
}

// Letters decide, exactly as isalpha does in the C locale; the test is
// written out so that a host's locale or a byte above 0x7F cannot change it.
int CSocks::IsDNS(const char* lpszHost) {
  if (lpszHost == NULL) return 0;
  for (const char* p = lpszHost; *p != '\0'; ++p) {
    if ((*p >= 'A' && *p <= 'Z') || (*p >= 'a' && *p <= 'z')) return 1;
  }
  return 0;
}

int CSocks::FailNegotiation(const char* lpszText) {
  Close();
  MyMessageBox(lpszText);
  return 0;
}
