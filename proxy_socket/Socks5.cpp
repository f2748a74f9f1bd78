// SOCKS5 CONNECT (RFC 1928), client side, with the username/password
// method of RFC 1929 (the exchange is in Handshake.cpp), over the settings'
// credentials.
#include "CSocks.h"
#include "settings/proxy_settings.h"
#include "socks/Handshake.h"

using qbsettings::FieldLength;

int CSocks::Socks5Connect(const char* lpszHost, unsigned int nPort) {
  qbafx::BlockingCall call(m_nBlockingCall);  // see Connect
  qbproxy::Handshake handshake =
      qbproxy::Handshake::Socks5(lpszHost, nPort, m_szUserName, FieldLength(m_szUserName, sizeof(m_szUserName)),
                                 m_szPassword, FieldLength(m_szPassword, sizeof(m_szPassword)));
  if (RunHandshake(handshake)) return 1;
  FailNegotiation(handshake.failure().text);
  WSASetLastError(qbproxy::LastErrorOf(handshake.failure()));  // after the close, which may set its own
  return 0;
}

// The subnegotiation alone: neither closes nor reports, its caller does.
int CSocks::AuthPasswd() {
  qbproxy::Handshake handshake =
      qbproxy::Handshake::Socks5Auth(m_szUserName, FieldLength(m_szUserName, sizeof(m_szUserName)), m_szPassword,
                                     FieldLength(m_szPassword, sizeof(m_szPassword)));
  return RunHandshake(handshake);
}
