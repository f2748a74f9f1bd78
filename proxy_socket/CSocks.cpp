// CSocks: construction, destruction, the connect dispatch and the one
// failure exit that both negotiations share.
#include "CSocks.h"

#include "socks/Negotiation.h"

#include <stddef.h>
#include <string.h>

#if defined(_MSC_VER) && (defined(_M_IX86) || defined(_M_X64))
// Hosts built against the 1.0.0.1 headers have CSocket's and CSocks's layout
// compiled in (objects on their stacks, classes derived in them), so in the
// MSVC ABI it is fixed: the sizes, and where the state that CSocks uses lies.
// The x64 flavour's layout is fixed from its first release.
#define QBSOCKS_PIN_LAYOUT(type, member, x86, x64) \
  static_assert(offsetof(type, member) == (sizeof(void*) == 4 ? (x86) : (x64)), #type "::" #member " moved")
#ifdef __clang__
#pragma clang diagnostic ignored "-Winvalid-offsetof"  // not standard-layout; fine in this ABI
#endif
#endif

CSocks::CSocks() {
  // The layout pins sit here, in a member function, because offsetof may
  // name the protected fields only from inside the class; the constructor
  // is the member that lays the object out, and is built in every flavour.
#ifdef QBSOCKS_PIN_LAYOUT
  static_assert(sizeof(CSocket) == (sizeof(void*) == 4 ? 32 : 48), "CSocket's size changed");
  static_assert(sizeof(CSocks) == (sizeof(void*) == 4 ? 172 : 192), "CSocks's size changed");
  QBSOCKS_PIN_LAYOUT(CSocks, m_hSocket, 4, 8);
  QBSOCKS_PIN_LAYOUT(CSocks, m_pbBlocking, 12, 24);
  QBSOCKS_PIN_LAYOUT(CSocks, m_nTimeOut, 20, 36);
  QBSOCKS_PIN_LAYOUT(CSocks, m_szSocksServer, 32, 48);
  QBSOCKS_PIN_LAYOUT(CSocks, m_nSocksPort, 96, 112);
  QBSOCKS_PIN_LAYOUT(CSocks, m_nSocksVersion, 100, 116);
  QBSOCKS_PIN_LAYOUT(CSocks, m_szUserName, 104, 120);
  QBSOCKS_PIN_LAYOUT(CSocks, m_szPassword, 136, 152);
  QBSOCKS_PIN_LAYOUT(CSocks, m_bProxyEnable, 168, 184);
#endif
  memset(m_szSocksServer, 0, sizeof(m_szSocksServer));
  m_nSocksPort = 0;
  m_nSocksVersion = 0;
  memset(m_szUserName, 0, sizeof(m_szUserName));
  memset(m_szPassword, 0, sizeof(m_szPassword));
  m_bProxyEnable = 1;
}

CSocks::~CSocks() {
  if (m_hSocket != INVALID_SOCKET) CSocket::Close();
  SecureZeroMemory(m_szPassword, sizeof(m_szPassword));  // the memory may be a stack's or a heap's next
}

int CSocks::Connect(const char* lpszHostAddress, unsigned int nHostPort) {
  // A call made from host code during a wait of this object (a window's
  // message handler, say) is refused before it touches the socket, which
  // the running call still uses.
  if (IsBlocking()) {
    WSASetLastError(WSAEINPROGRESS);
    return 0;
  }
  // One blocking call from here to the end of the negotiation: a cancel
  // between two of its steps still ends it.
  qbafx::BlockingCall call(m_nBlockingCall);
  const auto connect = [&]() -> int {
    // Settings that cannot be read fail the connect as the proxy path's
    // failures do: going direct would bypass a proxy the user switched on.
    const LONG lUnread = ReadSettings();
    if (lUnread != ERROR_SUCCESS) {
      CloseOnFailure();
      ReportUnreadableSettings(lUnread);
      return 0;
    }
    if (!m_bProxyEnable) return CAsyncSocket::Connect(lpszHostAddress, nHostPort) ? 1 : 0;

    if (!CAsyncSocket::Connect(m_szSocksServer, m_nSocksPort)) {
      const int nError = WSAGetLastError();  // the connect's, which the close must not replace
      FailNegotiation(NULL);
      WSASetLastError(nError);
      return 0;
    }
    if (m_nSocksVersion == 4) return Socks4Connect(lpszHostAddress, nHostPort);
    if (m_nSocksVersion == 5) return Socks5Connect(lpszHostAddress, nHostPort);

    // ReadRegistry turns the proxy off for any other version; a derived
    // class that changed the field in between gets a failure, not a guess.
    FailNegotiation(NULL);
    WSASetLastError(WSAEINVAL);
    return 0;
  };
  if (!connect()) return 0;
  // A cancel that no wait took (it came during ReadRegistry, a name
  // look-up, or after the last wait) ends the call all the same. A direct
  // connect's socket stays as it is, as after any failed direct connect.
  if (call.Finish()) {
    if (m_bProxyEnable) CloseOnFailure();
    WSASetLastError(WSAEINTR);
    return 0;
  }
  return 1;
}

// Letters decide (HasLetter), as in the negotiations themselves.
int CSocks::IsDNS(const char* lpszHost) { return HasLetter(lpszHost) ? 1 : 0; }

// The one way a step of the proxy path fails, in one order: close the
// socket first, then hand the step's text (if it has one) to MyMessageBox,
// which so always finds the socket closed. 0, for Connect to return.
int CSocks::FailNegotiation(const char* lpszText) {
  CloseOnFailure();
  if (lpszText != NULL) MyMessageBox(lpszText);
  return 0;
}

// Closes the socket, unless host code closed it during the call (from
// OnMessagePending): the handle may then be a new socket of the host's.
void CSocks::CloseOnFailure() {
  if (!qbafx::SocketClosedDuringCall(m_nBlockingCall)) Close();
}
