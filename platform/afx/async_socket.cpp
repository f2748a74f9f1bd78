// CAsyncSocket: MFC's non-blocking socket over BSD sockets or Winsock.
// Every failure leaves the Winsock error number as the last socket error;
// a socket this class opened is closed again on every failure path, or
// stays owned by the object (whose destructor closes it).
#include "afxsock.h"

#include "afx/fail.h"
#include "afx/socket_handover.h"
#include "afx/sockio.h"
#include "afx/thread_queue.h"

namespace sockio = qbafx::sockio;
namespace sys = qbafx::sockio::sys;

namespace {

constexpr long kAllEvents = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE;

using qbafx::Fail;
using qbafx::FailWithSystemError;
using qbafx::SocketError;
using qbafx::SocketErrorFromSystem;

// Winsock refuses a buffer it cannot address with WSAEFAULT.
bool IsBadBuffer(const void* lpBuf, int nBufLen) { return nBufLen < 0 || (lpBuf == NULL && nBufLen > 0); }

// The port's low 16 bits, in network byte order, as Winsock's callers pass
// a UINT where a u_short belongs.
u_short NetworkPort(UINT nPort) { return htons(static_cast<u_short>(nPort & 0xffffu)); }

sockaddr_in Ipv4Address(unsigned long networkAddress, UINT nPort) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = NetworkPort(nPort);
  address.sin_addr.s_addr = static_cast<decltype(address.sin_addr.s_addr)>(networkAddress);
  return address;
}

// An address length from the caller, or false (WSAEFAULT) when negative.
bool ToSockLen(const int* pLen, sockio::SockLen* pOut) {
  if (pLen == NULL || *pLen < 0) {
    WSASetLastError(WSAEFAULT);
    return false;
  }
  *pOut = static_cast<sockio::SockLen>(*pLen);
  return true;
}

}  // namespace

CRuntimeClass CAsyncSocket::classCAsyncSocket = {"CAsyncSocket", sizeof(CAsyncSocket), 0xffff,
                                                 &CObject::classCObject};

CRuntimeClass* CAsyncSocket::GetRuntimeClass() const { return &CAsyncSocket::classCAsyncSocket; }

CAsyncSocket::CAsyncSocket() : m_hSocket(INVALID_SOCKET), m_lEvent(0) {}

CAsyncSocket::~CAsyncSocket() {
  if (m_hSocket != INVALID_SOCKET) CAsyncSocket::Close();
}

BOOL CAsyncSocket::Create(UINT nSocketPort, int nSocketType, long lEvent, QBAFX_LPCSTR lpszSocketAddress) {
  if (m_hSocket != INVALID_SOCKET) return Fail(WSAEINVAL);  // would lose the open one
  SOCKET hSocket = sockio::OpenSocket(nSocketType);
  if (hSocket == INVALID_SOCKET) return FALSE;
  m_hSocket = hSocket;
  if ((nSocketPort != 0 || lpszSocketAddress != NULL) && !Bind(nSocketPort, lpszSocketAddress)) {
    sockio::CloseSocket(hSocket);  // keeps Bind's error
    m_hSocket = INVALID_SOCKET;
    return FALSE;
  }
  m_lEvent = lEvent;
  return TRUE;
}

BOOL CAsyncSocket::Attach(SOCKET hSocket, long lEvent) {
  if (hSocket == INVALID_SOCKET) return Fail(WSAENOTSOCK);
  if (m_hSocket != INVALID_SOCKET) return Fail(WSAEINVAL);
  if (!sockio::MakeNonBlockingNoInherit(hSocket)) return FALSE;
  m_hSocket = hSocket;
  m_lEvent = lEvent;
  return TRUE;
}

SOCKET CAsyncSocket::Detach() {
  SOCKET hSocket = m_hSocket;
  qbafx::GiveUpWaitsOn(hSocket);
  m_hSocket = INVALID_SOCKET;
  m_lEvent = 0;
  return hSocket;
}

BOOL CAsyncSocket::GetPeerName(SOCKADDR* lpSockAddr, int* lpSockAddrLen) {
  sockio::SockLen len = 0;
  if (!ToSockLen(lpSockAddrLen, &len)) return FALSE;
  if (sys::getpeername(sockio::Native(m_hSocket), lpSockAddr, &len) != 0) return FailWithSystemError();
  *lpSockAddrLen = static_cast<int>(len);
  return TRUE;
}

BOOL CAsyncSocket::GetSockName(SOCKADDR* lpSockAddr, int* lpSockAddrLen) {
  sockio::SockLen len = 0;
  if (!ToSockLen(lpSockAddrLen, &len)) return FALSE;
  if (sys::getsockname(sockio::Native(m_hSocket), lpSockAddr, &len) != 0) return FailWithSystemError();
  *lpSockAddrLen = static_cast<int>(len);
  return TRUE;
}

BOOL CAsyncSocket::SetSockOpt(int nOptionName, const void* lpOptionValue, int nOptionLen, int nLevel) {
  if (nOptionLen < 0) return Fail(WSAEFAULT);
  if (sys::setsockopt(sockio::Native(m_hSocket), sockio::NativeOptionLevel(nLevel), nOptionName,
                      static_cast<const char*>(lpOptionValue), static_cast<sockio::SockLen>(nOptionLen)) != 0) {
    return FailWithSystemError();
  }
  return TRUE;
}

BOOL CAsyncSocket::GetSockOpt(int nOptionName, void* lpOptionValue, int* lpOptionLen, int nLevel) {
  sockio::SockLen len = 0;
  if (!ToSockLen(lpOptionLen, &len)) return FALSE;
  if (sys::getsockopt(sockio::Native(m_hSocket), sockio::NativeOptionLevel(nLevel), nOptionName,
                      static_cast<char*>(lpOptionValue), &len) != 0) {
    return FailWithSystemError();
  }
  *lpOptionLen = static_cast<int>(len);
  return TRUE;
}

int CAsyncSocket::GetLastError() { return WSAGetLastError(); }

BOOL CAsyncSocket::Accept(CAsyncSocket& rConnectedSocket, SOCKADDR* lpSockAddr, int* lpSockAddrLen) {
  if (rConnectedSocket.m_hSocket != INVALID_SOCKET) return Fail(WSAEINVAL);
  if (lpSockAddrLen != NULL && *lpSockAddrLen < 0) return Fail(WSAEFAULT);
  SOCKET hConnected = sockio::AcceptSocket(m_hSocket, lpSockAddr, lpSockAddrLen);
  if (hConnected == INVALID_SOCKET) return FALSE;
  rConnectedSocket.m_hSocket = hConnected;
  rConnectedSocket.m_lEvent = kAllEvents;
  return TRUE;
}

BOOL CAsyncSocket::Bind(UINT nSocketPort, QBAFX_LPCSTR lpszSocketAddress) {
  unsigned long networkAddress = htonl(INADDR_ANY);
  if (lpszSocketAddress != NULL) {
    networkAddress = inet_addr(lpszSocketAddress);
    if (networkAddress == INADDR_NONE) return Fail(WSAEINVAL);
  }
  sockaddr_in address = Ipv4Address(networkAddress, nSocketPort);
  if (sys::bind(sockio::Native(m_hSocket), reinterpret_cast<const sockaddr*>(&address),
                static_cast<sockio::SockLen>(sizeof(address))) != 0) {
    return FailWithSystemError();
  }
  return TRUE;
}

void CAsyncSocket::Close() {
  if (m_hSocket == INVALID_SOCKET) return;
  qbafx::GiveUpWaitsOn(m_hSocket);
  sockio::CloseSocket(m_hSocket);
  sockio::StoreHandle(m_hSocket, INVALID_SOCKET);  // a wait on another thread may read it
}

BOOL CAsyncSocket::Connect(QBAFX_LPCSTR lpszHostAddress, UINT nHostPort) {
  if (lpszHostAddress == NULL) return Fail(WSAEINVAL);
  // Fail before a possibly slow name look-up when there is nothing to connect.
  if (m_hSocket == INVALID_SOCKET) return Fail(WSAENOTSOCK);
  unsigned long networkAddress = inet_addr(lpszHostAddress);
  if (networkAddress == INADDR_NONE && !sockio::ResolveIpv4(lpszHostAddress, &networkAddress)) {
    return FALSE;
  }
  sockaddr_in address = Ipv4Address(networkAddress, nHostPort);
  return Connect(reinterpret_cast<const SOCKADDR*>(&address), static_cast<int>(sizeof(address)));
}

BOOL CAsyncSocket::Connect(const SOCKADDR* lpSockAddr, int nSockAddrLen) {
  return ConnectHelper(lpSockAddr, nSockAddrLen);
}

BOOL CAsyncSocket::Listen(int nConnectionBacklog) {
  if (sys::listen(sockio::Native(m_hSocket), nConnectionBacklog) != 0) return FailWithSystemError();
  return TRUE;
}

int CAsyncSocket::Receive(void* lpBuf, int nBufLen, int nFlags) {
  if (IsBadBuffer(lpBuf, nBufLen)) {
    return SocketError(WSAEFAULT);
  }
  auto nReceived = sys::recv(sockio::Native(m_hSocket), static_cast<char*>(lpBuf), nBufLen, nFlags);
  if (nReceived < 0) return SocketErrorFromSystem();
  return static_cast<int>(nReceived);
}

BOOL CAsyncSocket::ShutDown(int nHow) {
  if (sys::shutdown(sockio::Native(m_hSocket), nHow) != 0) return FailWithSystemError();
  return TRUE;
}

int CAsyncSocket::Send(const void* lpBuf, int nBufLen, int nFlags) {
  if (IsBadBuffer(lpBuf, nBufLen)) {
    return SocketError(WSAEFAULT);
  }
  auto nSent =
      sys::send(sockio::Native(m_hSocket), static_cast<const char*>(lpBuf), nBufLen, nFlags | sockio::kNoSigPipe);
  if (nSent < 0) return SocketErrorFromSystem();
  return static_cast<int>(nSent);
}

BOOL CAsyncSocket::AsyncSelect(long lEvent) {
  if (m_hSocket == INVALID_SOCKET) return Fail(WSAENOTSOCK);
  m_lEvent = lEvent;
  return TRUE;
}

void CAsyncSocket::OnReceive(int) {}
void CAsyncSocket::OnSend(int) {}
void CAsyncSocket::OnOutOfBandData(int) {}
void CAsyncSocket::OnAccept(int) {}
void CAsyncSocket::OnConnect(int) {}
void CAsyncSocket::OnClose(int) {}

BOOL CAsyncSocket::ConnectHelper(const SOCKADDR* lpSockAddr, int nSockAddrLen) {
  if (lpSockAddr == NULL || nSockAddrLen < 0) return Fail(WSAEFAULT);
  if (sys::connect(sockio::Native(m_hSocket), lpSockAddr, static_cast<sockio::SockLen>(nSockAddrLen)) != 0) {
    return FailWithSystemError();  // a connect under way reports WSAEWOULDBLOCK
  }
  return TRUE;
}

int CAsyncSocket::ReceiveFromHelper(void* lpBuf, int nBufLen, SOCKADDR* lpSockAddr, int* lpSockAddrLen, int nFlags) {
  if (IsBadBuffer(lpBuf, nBufLen)) {
    return SocketError(WSAEFAULT);
  }
  sockio::SockLen len = 0;
  if (lpSockAddrLen != NULL && !ToSockLen(lpSockAddrLen, &len)) return SOCKET_ERROR;
  auto nReceived = sys::recvfrom(sockio::Native(m_hSocket), static_cast<char*>(lpBuf), nBufLen, nFlags, lpSockAddr,
                                 lpSockAddrLen != NULL ? &len : NULL);
  if (nReceived < 0) return SocketErrorFromSystem();
  if (lpSockAddrLen != NULL) *lpSockAddrLen = static_cast<int>(len);
  return static_cast<int>(nReceived);
}

int CAsyncSocket::SendToHelper(const void* lpBuf, int nBufLen, const SOCKADDR* lpSockAddr, int nSockAddrLen,
                               int nFlags) {
  if (IsBadBuffer(lpBuf, nBufLen) || nSockAddrLen < 0) {
    return SocketError(WSAEFAULT);
  }
  auto nSent = sys::sendto(sockio::Native(m_hSocket), static_cast<const char*>(lpBuf), nBufLen,
                           nFlags | sockio::kNoSigPipe, lpSockAddr, static_cast<sockio::SockLen>(nSockAddrLen));
  if (nSent < 0) return SocketErrorFromSystem();
  return static_cast<int>(nSent);
}

BOOL AfxSocketInit(WSADATA* lpwsaData) {
  WSADATA wsaData;
  if (WSAStartup(MAKEWORD(1, 1), &wsaData) != 0) return FALSE;  // MFC 4.2 asks for 1.1
  if (lpwsaData != NULL) *lpwsaData = wsaData;
  return TRUE;
}

namespace qbafx::sockio {

bool ResolveIpv4(LPCSTR lpszHost, unsigned long* pNetworkAddress) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* pResults = NULL;
  int rc = sys::getaddrinfo(lpszHost, NULL, &hints, &pResults);
  if (rc != 0) {
    SaveResolveError(rc);
    return false;
  }
  bool found = false;
  for (const addrinfo* p = pResults; p != NULL && !found; p = p->ai_next) {
    if (p->ai_family == AF_INET && p->ai_addr != NULL) {
      *pNetworkAddress = reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
      found = true;
    }
  }
  freeaddrinfo(pResults);
  if (!found) WSASetLastError(WSANO_DATA);
  return found;
}

}  // namespace qbafx::sockio
