// SOCKS4 CONNECT, client side (the wire layout is in Negotiation.h).
#include "CSocks.h"
#include "Negotiation.h"

int CSocks::Socks4Connect(const char* lpszHost, unsigned int nPort) {
  qbafx::BlockingCall call(m_nBlockingCall);  // see Connect
  if (IsDNS(lpszHost)) return FailNegotiation(kSocks4NameRefusal);
  BYTE address[4];
  if (!ParseDottedAddress(lpszHost, address)) return FailNegotiation(kNameResolveFailure);

  // No name, or one too long for the request: an empty USERID. A name that
  // GetUserNameA delivers fits, terminator included.
  char szUserId[kSocks4UserIdRoom];
  DWORD cbUserId = sizeof(szUserId);
  if (!GetUserNameA(szUserId, &cbUserId)) szUserId[0] = '\0';

  BYTE request[kRequestBufferSize];
  memset(request, 0, sizeof(request));
  if (!SendRequest(request, BuildSocks4Request(request, address, nPort, szUserId))) return 0;

  BYTE reply[kSocks4ReplySize];
  return ReadStatusReply(reply, kSocks4ReplySize, GetTickCount(), kSocks4Granted, Socks4RefusalText);
}
