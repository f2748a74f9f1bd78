// What the CSocks unit tests share: a CSocks that shows its protected members, the target exchange that
// proves a connection carries the target's stream, and the negotiation rows with their builders.
#ifndef QBSOCKS_TESTS_CSOCKS_FIXTURE_H
#define QBSOCKS_TESTS_CSOCKS_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "CSocks.h"
#include "socks/Negotiation.h"
#include "requests.h"
#include "support/recording_message_box.h"
#include "support/scripted_peer.h"
#include "support/servers.h"
#include "support/stream_io.h"
#include "support/temp_hive.h"
#include "support/test_platform.h"
#include "support/wire.h"

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
  using CSocket::m_nBlockingCall;
  using CSocket::m_pbBlocking;

  bool IsOpen() const { return m_hSocket != INVALID_SOCKET; }

  // Counts the waits and what the pump interval was during them; can be
  // told to abandon a wait as a cancelled blocking call does, to have
  // another thread cancel the call once a given wait has returned, to let
  // a given wait outlast the reply budget, and to run host code on the
  // first turn of a wait.
  int pumps = 0;
  int pump_interval_seen = 0;
  bool abandon_waits = false;
  int cancel_after_wait = 0;
  int spend_budget_in_wait = 0;
  std::function<void(ProbeSocks&)> on_first_turn;
  std::function<void(ProbeSocks&)> on_connect;  // before each TCP connect

 protected:
  BOOL ConnectHelper(const SOCKADDR* lpSockAddr, int nSockAddrLen) override {
    if (on_connect) on_connect(*this);
    return CSocks::ConnectHelper(lpSockAddr, nSockAddrLen);
  }
  BOOL PumpMessages(UINT uStopFlag) override {
    ++pumps;
    pump_interval_seen = m_nTimeOut;
    if (abandon_waits) {
      WSASetLastError(WSAEINTR);
      return FALSE;
    }
    if (pumps == 1) first_wait_tick_ = GetTickCount();  // not before the budget's start
    const BOOL go_on = CSocks::PumpMessages(uStopFlag);
    if (pumps == spend_budget_in_wait) SpendReplyBudget();
    if (pumps == cancel_after_wait) std::thread([this] { CancelBlockingCall(); }).join();
    return go_on;
  }
  BOOL OnMessagePending() override {
    if (auto hook = std::exchange(on_first_turn, nullptr)) hook(*this);
    return CSocks::OnMessagePending();
  }

 private:
  DWORD first_wait_tick_ = 0;

  // Brings the tick count more than a reply budget past the first wait:
  // the Linux stand-in's counter jumps (the test puts it back); Windows'
  // is waited out.
  void SpendReplyBudget() {
    if (SetTickCountOffset(kReplyLimitMs + 1)) return;
    while (static_cast<DWORD>(GetTickCount() - first_wait_tick_) <= kReplyLimitMs) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  }
};

// After a successful negotiation the test and the scripted "target" trade
// these, proving the stream is the target's and nothing is left in between.
inline const std::string kClientHello = "hello from the client";
inline const std::string kTargetHello = "hello from the target";

inline std::vector<PeerStep> TargetExchange() {
  return {PeerStep::Expect(kClientHello), PeerStep::Send(kTargetHello)};
}

// The host's side of the exchange: false when its hello does not go out
// or the target's does not come back.
inline bool TradeHellos(CSocket& socket) {
  const int size = static_cast<int>(kClientHello.size());
  return socket.Send(kClientHello.data(), size) == size &&
         ReceiveExactly(socket, kTargetHello.size()) == kTargetHello;
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
  std::function<void(ProbeSocks&)> on_connect = nullptr;  // what a derived class does as the proxy is reached
  int last_error = 0;  // a failure's WSAGetLastError(); 0: any but 0 and WSAEWOULDBLOCK
};

// Every such case ends well before the ten-second budget: a short error
// reply on a connection kept open is reported at once.
void RunNegotiationCase(const NegotiationCase& c);

// The same, for a proxy that is silent or too slow: the failure must come
// shortly after the ten-second budget for one reply, not before, not later.
void RunBudgetCase(const NegotiationCase& c);

// The SOCKS tables: socks4_test.cpp and socks5_test.cpp instantiate both,
// each with its protocol's rows.
class NegotiationTable : public ::testing::TestWithParam<NegotiationCase> {};
class NegotiationBudget : public ::testing::TestWithParam<NegotiationCase> {};

inline void PrintTo(const NegotiationCase& c, std::ostream* os) { *os << c.name; }

inline std::string CaseName(const ::testing::TestParamInfo<NegotiationCase>& info) { return info.param.name; }

// Rows of the negotiation tables, each saying only what differs from the
// common run of its protocol: the target, the credentials, then the
// proxy's steps in order, then the outcome.
//
//   Socks5Row("ipv4").NoAuth().Replies(kSocks5Succeeded).Succeeds()
//   Socks4Row("rejected").Replies(Socks4Reply(0, 91)).Fails(kSocks4Rejected)
template <typename Row>
class RowBuilder {
 public:
  // Another target; `request` is the CONNECT request expected for it
  // (none where the row fails before one is sent).
  Row& To(const char* target, unsigned port, std::string request = "") {
    case_.target = target;
    case_.port = port;
    request_ = std::move(request);
    return self();
  }
  // The credentials in the settings.
  Row& As(std::string user, std::string password) {
    case_.user = std::move(user);
    case_.password = std::move(password);
    return self();
  }
  Row& Then(const std::vector<PeerStep>& steps) {
    case_.script.insert(case_.script.end(), steps.begin(), steps.end());
    return self();
  }
  Row& Request() { return Then({PeerStep::Expect(request_)}); }
  Row& LeavesError(int error) {
    case_.last_error = error;
    return self();
  }
  Row& OnConnect(std::function<void(ProbeSocks&)> hook) {
    case_.on_connect = std::move(hook);
    return self();
  }
  // Expects the CONNECT request and answers with `reply`.
  Row& Replies(std::string reply) { return Request().Then({PeerStep::Send(std::move(reply))}); }

  // Connected, and the target exchange follows.
  NegotiationCase Succeeds() { return Then(TargetExchange()).SucceedsAsScripted(); }
  // Connected, the script alone saying what follows.
  NegotiationCase SucceedsAsScripted() const { return Ends(1, {}); }
  NegotiationCase Fails(const char* message) const { return Ends(0, {message}); }
  NegotiationCase FailsWithoutText() const { return Ends(0, {}); }

 protected:
  RowBuilder(const char* name, DWORD version, const char* target, std::string request, PeerScript opening)
      : case_{name, version, "", "", target, 80, std::move(opening), 0, {}}, request_(std::move(request)) {}

  const NegotiationCase& Case() const { return case_; }

 private:
  Row& self() { return static_cast<Row&>(*this); }
  NegotiationCase Ends(int result, std::vector<std::string> messages) const {
    NegotiationCase done = case_;
    done.result = result;
    done.messages = std::move(messages);
    return done;
  }

  NegotiationCase case_;
  std::string request_;
};

// SOCKS5 to 1.2.3.4:80 without credentials; the proxy reads the method
// offer first.
class Socks5Row : public RowBuilder<Socks5Row> {
 public:
  explicit Socks5Row(const char* name)
      : RowBuilder(name, 5, "1.2.3.4", Socks5Request({1, 2, 3, 4}, 80), {PeerStep::Expect(kSocks5Offer)}) {}

  Socks5Row& Choice(std::string bytes) { return Then({PeerStep::Send(std::move(bytes))}); }
  Socks5Row& NoAuth() { return Choice(kNoAuthChoice); }
  // Chooses user name and password, expects the credentials given by As,
  // answers `status`.
  Socks5Row& Password(std::string status = kAuthAccepted) {
    return Choice(kPasswordChoice)
        .Then({PeerStep::Expect(Socks5AuthRequest(Case().user, Case().password)), PeerStep::Send(std::move(status))});
  }
};

// SOCKS4 to 10.0.0.1:80 without credentials.
class Socks4Row : public RowBuilder<Socks4Row> {
 public:
  explicit Socks4Row(const char* name) : RowBuilder(name, 4, "10.0.0.1", Socks4Request({10, 0, 0, 1}, 80), {}) {}
};

}  // namespace qbtest

#endif  // QBSOCKS_TESTS_CSOCKS_FIXTURE_H
