// SOCKS4 CONNECT, client side (the exchange is in Handshake.cpp).
#include "CSocks.h"
#include "socks/Handshake.h"

int CSocks::Socks4Connect(const char* lpszHost, unsigned int nPort) {
  qbafx::BlockingCall call(m_nBlockingCall);  // see Connect
  qbproxy::Handshake handshake = qbproxy::Handshake::Socks4(lpszHost, nPort);
  if (RunHandshake(handshake)) return 1;
  FailNegotiation(handshake.failure().text);
  WSASetLastError(qbproxy::LastErrorOf(handshake.failure()));  // after the close, which may set its own
  return 0;
}
