// What the CSocks unit tests share: a CSocks that shows its protected members, and the target exchange that
// proves a connection carries the target's stream.
#ifndef QBSOCKS_TESTS_CSOCKS_FIXTURE_H
#define QBSOCKS_TESTS_CSOCKS_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "CSocks.h"
#include "support/recording_message_box.h"
#include "support/scripted_peer.h"
#include "support/servers.h"
#include "support/temp_hive.h"
#include "support/test_platform.h"

namespace qbtest {

constexpr const char* kProxyKey = TempHive::kProxyKey;

class ProbeSocks : public CSocks {
 public:
  using CSocks::AuthPasswd;
  using CSocks::IsDNS;
  using CSocks::MyMessageBox;
  using CSocks::MyReceive;
  using CSocks::ReadRegistry;
  using CSocks::Socks4Connect;
  using CSocks::Socks5Connect;
  using CSocks::m_bProxyEnable;
  using CSocks::m_nSocksPort;
  using CSocks::m_nSocksVersion;
  using CSocks::m_szPassword;
  using CSocks::m_szSocksServer;
  using CSocks::m_szUserName;
  using CSocket::m_nTimeOut;
  using CSocket::m_pbBlocking;

  bool IsOpen() const { return m_hSocket != INVALID_SOCKET; }

  // Counts the waits and what the pump interval was during them; can be
  // told to abandon a wait as a cancelled blocking call does.
  int pumps = 0;
  int pump_interval_seen = 0;
  bool abandon_waits = false;

 protected:
  BOOL PumpMessages(UINT uStopFlag) override {
    ++pumps;
    pump_interval_seen = m_nTimeOut;
    if (abandon_waits) {
      WSASetLastError(WSAEINTR);
      return FALSE;
    }
    return CSocks::PumpMessages(uStopFlag);
  }
};

// Waits until data can be read from the socket, without taking any.
bool WaitReadable(const CAsyncSocket& socket, std::chrono::milliseconds limit);

// After a successful negotiation the test and the scripted "target" trade
// these, proving the stream is the target's and nothing is left in between.
inline const std::string kClientHello = "hello from the client";
inline const std::string kTargetHello = "hello from the target";

inline std::vector<PeerStep> TargetExchange() {
  return {PeerStep::Expect(kClientHello), PeerStep::Send(kTargetHello)};
}

// Receives exactly `count` bytes with the blocking receive, or fewer when the
// connection ends.
inline std::string ReceiveCount(CSocket& socket, size_t count) {
  std::string out;
  char buffer[4096];
  while (out.size() < count) {
    int want = static_cast<int>(std::min(sizeof(buffer), count - out.size()));
    int n = socket.Receive(buffer, want);
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  return out;
}

inline std::string ExpectedWire(const PeerScript& script) {
  std::string wire;
  for (const PeerStep& step : script) {
    if (step.kind == PeerStep::Kind::Expect) wire += step.bytes;
  }
  return wire;
}

// Ten seconds of budget, one pump interval, and room for a loaded machine
// running the sanitizers with several tests at once.
constexpr double kBudgetUpperBoundSeconds = 15.0;

inline double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs Connect against a scripted proxy and checks the whole outcome: the
// bytes the proxy received, the result, the texts reported, the socket's
// state, and on success the target exchange.
struct NegotiationCase {
  const char* name;
  DWORD version;
  std::string user;
  std::string password;
  const char* target;
  unsigned int port;
  PeerScript script;
  int result;
  std::vector<std::string> messages;
};

// Every such case ends well before the ten-second budget: a short error
// reply on a connection kept open is reported at once.
void RunNegotiationCase(const NegotiationCase& c);

// The same, for a proxy that is silent or too slow: the failure must come
// shortly after the ten-second budget for one reply, not before, not later.
void RunBudgetCase(const NegotiationCase& c);

inline void PrintTo(const NegotiationCase& c, std::ostream* os) { *os << c.name; }

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_CSOCKS_FIXTURE_H
