// SOCKS4 CONNECT, client side (the wire layout is in Negotiation.h).
#include "CSocks.h"
#include "ConnectFacts.h"
#include "Negotiation.h"

int CSocks::Socks4Connect(const char* lpszHost, unsigned int nPort) {
  qbafx::BlockingCall call(m_nBlockingCall);  // see Connect
  qbfacts::NoteStep(qbfacts::kRequest);
  BYTE address[4];
  if (IsDNS(lpszHost) || !ParseDottedAddress(lpszHost, address)) {
    qbfacts::NoteCause(qbfacts::kBadTarget, qbfacts::kNoCode, 0);
    return FailNegotiation(IsDNS(lpszHost) ? kSocks4NameRefusal : kNameResolveFailure);
  }

  // No name, or one too long for the request: an empty USERID. A name that
  // GetUserNameA delivers fits, terminator included. It asks the user
  // database, which nothing here can cut short.
  qbfacts::NoteStep(qbfacts::kUserId);
  char szUserId[kSocks4UserIdRoom];
  DWORD cbUserId = sizeof(szUserId);
  if (!GetUserNameA(szUserId, &cbUserId)) szUserId[0] = '\0';

  qbfacts::NoteStep(qbfacts::kRequest);
  BYTE request[kRequestBufferSize];
  memset(request, 0, sizeof(request));
  if (!SendRequest(request, BuildSocks4Request(request, address, nPort, szUserId))) return 0;

  qbfacts::NoteStep(qbfacts::kReply);
  BYTE reply[kSocks4ReplySize];
  return ReadStatusReply(reply, kSocks4ReplySize, GetTickCount(), kSocks4Granted, Socks4RefusalText);
}
