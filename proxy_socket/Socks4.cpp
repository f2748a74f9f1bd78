// SOCKS4 CONNECT, client side.
//
//   request: VN=4 | CD=1 | DSTPORT (2, network order) | DSTIP (4) | USERID | 0
//   reply:   VN | CD (90 = granted) | DSTPORT (2) | DSTIP (4)
#include "CSocks.h"
#include "Negotiation.h"

#include <string.h>

namespace {

const BYTE kSocks4Version = 4;
const BYTE kSocks4Connect = 1;
const BYTE kSocks4Granted = 90;
const int kHeaderSize = 8;
const int kReplySize = 8;
const DWORD kUserIdRoom = kRequestBufferSize - kHeaderSize;  // terminator included

const char* Socks4ReplyText(BYTE cd) {
  switch (cd) {
    case 91: return "Request rejected or failed";
    case 92: return "Request rejected becasue SOCKS server cannot connect to identd on the client";
    case 93: return "Request rejected because the client program and identd report different user-ids";
    default: return "General negotiation failure";
  }
}

}  // namespace

int CSocks::Socks4Connect(const char* lpszHost, unsigned int nPort) {
  qbafx::BlockingCall call(m_nBlockingCall);  // see Connect
  if (IsDNS(lpszHost)) {
    return FailNegotiation(kSocks4NameRefusal);
  }

  BYTE header[kHeaderSize];
  header[0] = kSocks4Version;
  header[1] = kSocks4Connect;
  PutPort(nPort, header + 2);
  if (!ParseDottedAddress(lpszHost, header + 4)) {
    return FailNegotiation(kNameResolveFailure);
  }

  BYTE request[kRequestBufferSize];
  memset(request, 0, sizeof(request));
  memcpy(request, header, kHeaderSize);
  char* lpszUserId = reinterpret_cast<char*>(request + kHeaderSize);
  DWORD cbUserId = kUserIdRoom;
  if (!GetUserNameA(lpszUserId, &cbUserId)) {
    // No name, or one too long for the request: send an empty USERID.
    memset(lpszUserId, 0, kUserIdRoom);
  }

  const int nLength = kHeaderSize + lstrlenA(lpszUserId) + 1;
  if (CSocket::Send(request, nLength, 0) != nLength) {
    CloseOnFailure();
    return 0;
  }

  BYTE reply[kReplySize];
  const int nGot = ReceiveReply(reply, 0, kReplySize, GetTickCount(), 1, kSocks4Granted);
  if (nGot >= 2 && reply[1] != kSocks4Granted) {
    MyMessageBox(Socks4ReplyText(reply[1]));
    CloseOnFailure();
    return 0;
  }
  if (nGot != kReplySize) return FailNegotiation("General negotiation failure");
  return 1;
}
