#include "connecting_socket.h"

#include "Negotiation.h"
#include "Settings.h"

#include <string.h>

#include <utility>
#include <vector>

namespace qbsocks_c {

namespace {

// " 10.0.0.5:1080" of an IPv4 socket address (nothing before one is known:
// the bound ran out in the name lookup).
std::string AddressText(const SOCKADDR_IN& address) {
  if (address.sin_family != AF_INET) return "";
  const unsigned char* lpBytes = reinterpret_cast<const unsigned char*>(&address.sin_addr);
  std::string text = " ";
  for (int i = 0; i < 4; ++i) text += std::to_string(lpBytes[i]) + (i < 3 ? "." : ":");
  return text + std::to_string(ntohs(address.sin_port));
}

}  // namespace

std::string ConnectingSocket::ReadRoute() {
  // The route needs no password: it is never read here.
  unsigned nWhyOff = 0;
  if (const LONG lUnread = ReadSettings(FALSE, &nWhyOff); lUnread != ERROR_SUCCESS) {
    char szWhy[128];
    DescribeUnreadableSettings(lUnread, szWhy, sizeof(szWhy));
    return szWhy;
  }
  return DescribeRoute(nWhyOff);
}

void ConnectingSocket::SetDeadline(unsigned int timeoutMs) {
  timeoutMs_ = timeoutMs;
  if (timeoutMs != 0) deadline_ = Clock::now() + std::chrono::milliseconds(timeoutMs);
}

bool ConnectingSocket::PastDeadline() const { return timeoutMs_ != 0 && Clock::now() >= deadline_; }

std::string ConnectingSocket::TimeoutReason() const {
  std::string step;
  switch (step_) {
    case Step::kConnecting: {
      const std::string peer = AddressText(address_);
      step = ProxyOn() ? "connecting to the proxy" + peer : "connecting to" + (peer.empty() ? " the target" : peer);
      break;
    }
    case Step::kReply:
      step = "waiting for the proxy's reply";
      break;
    case Step::kSending:
      step = "sending to the proxy";
      break;
  }
  return "timed out after " + std::to_string(timeoutMs_) + " ms " + step;
}

bool ConnectingSocket::RefusedTarget(const std::string& reported) const {
  return ProxyOn() && reached_ && (reported == kSocks4NameRefusal || reported == kNameResolveFailure);
}

BOOL ConnectingSocket::FailTimedOut() {
  timedOut_ = true;
  WSASetLastError(WSAETIMEDOUT);
  return FALSE;
}

// The one TCP connect of Connect: to the proxy when the settings chose it,
// else to the target. A name lookup before it cannot be cut short; the
// bound is looked at once it is over.
BOOL ConnectingSocket::ConnectHelper(const SOCKADDR* lpSockAddr, int nSockAddrLen) {
  step_ = Step::kConnecting;
  if (lpSockAddr != NULL && nSockAddrLen >= static_cast<int>(sizeof(address_))) memcpy(&address_, lpSockAddr, sizeof(address_));
  if (PastDeadline()) return FailTimedOut();
  const BOOL bConnected = CSocks::ConnectHelper(lpSockAddr, nSockAddrLen);
  reached_ = bConnected != FALSE;
  return bConnected;
}

// A wait that starts past the bound fails at once; one that runs into it
// is cancelled from OnMessagePending, within one turn of the wait.
BOOL ConnectingSocket::PumpMessages(UINT uStopFlag) {
  if (reached_ && (uStopFlag & FD_READ)) step_ = Step::kReply;
  if (reached_ && (uStopFlag & FD_WRITE)) step_ = Step::kSending;
  if (PastDeadline()) return FailTimedOut();
  return CSocks::PumpMessages(uStopFlag);
}

BOOL ConnectingSocket::OnMessagePending() {
  if (PastDeadline()) {
    timedOut_ = true;
    CancelBlockingCall();
  }
  return CSocks::OnMessagePending();
}

// From the fields as ReadRegistry left them, and why they leave the proxy
// off: the other values' reasons only when the user switched it on.
std::string ConnectingSocket::DescribeRoute(unsigned nWhyOff) const {
  if (m_bProxyEnable) {
    std::string text = "SOCKS" + std::to_string(m_nSocksVersion) + " proxy " + m_szSocksServer + ":" +
                       std::to_string(m_nSocksPort & 0xFFFFu);  // the bits the connect uses
    if (m_nSocksVersion == 5 && m_szUserName[0] != '\0') text += std::string(" as ") + m_szUserName;
    return text;
  }
  std::vector<std::string> why;
  if ((nWhyOff & (qbsettings::kNoKey | qbsettings::kSwitchedOff)) == 0) {
    if (nWhyOff & qbsettings::kNoServer) why.push_back("SocksServer is empty");
    if (nWhyOff & qbsettings::kNoPort) why.push_back("SocksPort is 0");
    if (nWhyOff & qbsettings::kUnknownVersion) {
      why.push_back("SocksVersion is " + std::to_string(m_nSocksVersion) + ", not 4 or 5");
    }
  }
  std::string text = "direct";
  for (size_t i = 0; i < why.size(); ++i) text += (i == 0 ? ": " : "; ") + why[i];
  return text;
}

std::string SocketErrorInWords(int error) {
  static const std::pair<int, const char*> kTexts[] = {
      {WSAECONNREFUSED, "connection refused"},
      {WSAETIMEDOUT, "timed out"},
      {WSAEHOSTUNREACH, "host unreachable"},
      {WSAENETUNREACH, "network unreachable"},
      {WSAHOST_NOT_FOUND, "host name not found"},
      {WSATRY_AGAIN, "name lookup failed for now; try again"},
      {WSANO_DATA, "the name has no IPv4 address"},
      {WSANO_RECOVERY, "name lookup failed"},
      {WSAECONNRESET, "connection reset"},
      {WSAECONNABORTED, "connection aborted"},
      {WSAEADDRNOTAVAIL, "address not available"},
      {WSAEACCES, "permission denied"},
      {WSAEMFILE, "too many open sockets"},
      {WSAENOBUFS, "no buffer space for another socket"},
      {WSANOTINITIALISED, "the socket layer is not started (WSAStartup or AfxSocketInit)"},
  };
  for (const auto& [number, text] : kTexts)
    if (number == error) return text;
  return "socket error " + std::to_string(error);
}

}  // namespace qbsocks_c
