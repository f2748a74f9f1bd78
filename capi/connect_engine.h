// The C interface's connect, as a state machine that never waits: each
// Advance goes as far as it can without blocking and then says which
// handle to watch and for how long. qbsocks_connect_start/_poll/_finish
// hand that to the caller's loop; the blocking functions loop over it on
// the calling thread (RunToEnd), sleeping on the handle and a wake that
// the cancel handle signals.
//
// The road: the socket, the settings, direct or the proxy, a name lookup
// on the library's resolver (a dotted IPv4 or an IPv6 address needs none),
// the TCP connect to each address the name has in turn, then
// qbproxy::Handshake over non-blocking sends and receives, each proxy reply
// within its ten seconds. The bound and the cancel are looked at in every
// step; the facts say in which one the connect ended.
//
// Several addresses go as Happy Eyeballs (RFC 8305) has them: the next
// one's connect starts when the one before failed, or 250 ms after it
// began if it has not connected by then; the first to connect wins and the
// others are closed. A caller's loop watches one handle: the newest
// attempt's socket, for at most the time until the next one starts, or
// 250 ms while older ones are still under way, as each Advance looks at
// every attempt without waiting. An older attempt that connects is so seen
// at most 250 ms late, and nothing spins.
#ifndef QBSOCKS_CAPI_CONNECT_ENGINE_H
#define QBSOCKS_CAPI_CONNECT_ENGINE_H

#include "settings/proxy_settings.h"
#include "afx/malloc_allocated.h"
#include "qbsocks.h"
#include "settings/read_bound.h"
#include "reason_text.h"

#include <stddef.h>
#include <stdint.h>

namespace qbsocks_c {

class NameLookup;
struct FoundAddress;
struct HandshakeHolder;

// What a connect met, as qbsocks_outcome carries it.
struct Outcome {
  int result = QBSOCKS_OK;
  int step = QBSOCKS_STEP_NONE;
  int cause = QBSOCKS_CAUSE_NONE;
  int proxyCode = QBSOCKS_NO_PROXY_CODE;
  LONG systemError = 0;
  Text reason;
};

// The outcome of a connect refused or failed before it began (no socket,
// bad arguments), or ended by its caller.
Outcome OutcomeOf(int result, const Text& reason, LONG systemError = 0);

class ConnectEngine : public qbafx::MallocAllocated {
 public:
  // To host:port, bounded to timeoutMs from now (0: no bound), ended by
  // cancel (or null). host is copied; null is judged by the first Advance.
  ConnectEngine(const char* host, unsigned int port, unsigned int timeoutMs, qbsocks_cancel* cancel);
  ~ConnectEngine();  // closes every handle it still holds
  ConnectEngine(const ConnectEngine&) = delete;
  ConnectEngine& operator=(const ConnectEngine&) = delete;

  // QBSOCKS_IN_PROGRESS with *wait set, or the result (outcome()).
  int Advance(qbsocks_wait* wait);
  // Ends the connect with outcome, closing what it holds (the caller's
  // refusal of its arguments, its finish; and every end of the steps).
  int End(const Outcome& outcome);
  // Gives a connect still in progress up: QBSOCKS_CANCELLED in its step.
  void GiveUp();
  const Outcome& outcome() const { return outcome_; }
  // The cancel handle the connect was given (null: none), for its drivers.
  qbsocks_cancel* cancel() const { return cancel_; }
  // On QBSOCKS_OK, the connected socket in blocking mode, now the caller's
  // (QBSOCKS_NO_HANDLE and a QBSOCKS_NO_SOCKET outcome when it cannot be
  // made blocking).
  uintptr_t HandOver();

 private:
  enum class Phase { kStart, kLookup, kConnecting, kHandshake, kEnded };
  enum class Ended { kNo, kTimedOut, kCancelled };

  int Step(qbsocks_wait* wait);  // Advance's work, by phase
  int Start(qbsocks_wait* wait);
  int BeginConnect(qbsocks_wait* wait);
  int AfterLookup(qbsocks_wait* wait);
  // The addresses to try, copied: false when no memory can be had.
  bool TakeAddresses(const FoundAddress* first, int count, const NameLookup* lookup);
  int StartConnecting(qbsocks_wait* wait);
  // The next addresses' connects, until one is under way or connected.
  int StartNextAttempt(qbsocks_wait* wait);
  int AwaitConnect(qbsocks_wait* wait);
  // Whether attempt i is over: connected (true, *connected set), failed
  // (true, closed, noted), or still under way (false).
  bool AttemptOver(int i, bool* connected);
  void AttemptFailed(int i, LONG error);
  int Won(int i, qbsocks_wait* wait);
  void CloseAttempts();
  int StartHandshake(qbsocks_wait* wait);
  int DriveHandshake(qbsocks_wait* wait);
  int Connected();

  // A step begins; what the one before noted is over.
  void EnterStep(int step);
  bool PastBound() const;
  // Whether the bound ran out or a cancel came; notes which, once.
  bool MustEnd();
  // Waits for the handle at most limitMs (QBSOCKS_WAIT_FOREVER: until the
  // bound), unless the bound or a cancel ends the connect.
  int WaitFor(uintptr_t handle, int events, unsigned int limitMs, qbsocks_wait* wait);
  // The ends of the connect, through End; each returns its result. Early:
  // the bound or the cancel ended it. Failed: the step failed, in words.
  int EndEarly();
  int Fail(int cause, int proxyCode, LONG systemError, const char* text);
  // A system call of the step failed: Fail, or EndEarly when the bound or
  // the cancel cut its wait short.
  int CallFailed(LONG error, const char* text = nullptr);
  void Close();         // every handle it holds
  void ReleaseParts();  // all but the socket

  char* host_;
  unsigned int port_;
  unsigned int timeoutMs_;
  DWORD startMs_;
  qbsocks_cancel* cancel_;
  const char* refusal_ = nullptr;
  qbplatform::ReadBound readBound_;
  Phase phase_ = Phase::kStart;
  // The socket opened first (AF_INET: no socket, no connect, as CSocks);
  // the first IPv4 attempt takes it. Once connected, the winner's.
  uintptr_t socket_ = QBSOCKS_NO_HANDLE;
  // The addresses to try, each with its attempt's socket (QBSOCKS_NO_HANDLE:
  // not begun, or over), the next to begin, and when the last one began.
  FoundAddress* addresses_ = nullptr;
  uintptr_t* attempts_ = nullptr;
  int addressCount_ = 0;
  int nextAddress_ = 0;
  DWORD attemptStartMs_ = 0;
  int failedCount_ = 0;  // attempts that failed, and the last one's error
  LONG lastError_ = 0;
  bool lookedUp_ = false;  // the addresses are a name's
  qbsettings::ProxySettings settings_;
  NameLookup* lookup_ = nullptr;
  HandshakeHolder* handshake_ = nullptr;
  int sent_ = 0;  // bytes of the handshake's request sent
  int step_ = QBSOCKS_STEP_NONE;
  // How the connect ended early, and the step it was in then (the one
  // that ran over the bound, seen as the next began).
  Ended ended_ = Ended::kNo;
  int endedIn_ = QBSOCKS_STEP_NONE;
  SOCKADDR_STORAGE peer_ = {};  // the last TCP connect's peer
  // The handle the last wait named, and a failed attempt's socket that was
  // it, closed as Advance ends.
  uintptr_t watched_ = QBSOCKS_NO_HANDLE;
  uintptr_t parked_ = QBSOCKS_NO_HANDLE;
  Outcome outcome_;
};

// The connect on the calling thread to its end: it sleeps on the handle
// each step waits for, and on a wake that a trigger of its cancel signals.
void RunToEnd(ConnectEngine& engine);

}  // namespace qbsocks_c

// A connect that the caller's loop drives.
struct qbsocks_connecting : qbsocks_c::ConnectEngine {
  using ConnectEngine::ConnectEngine;
};

#endif  // QBSOCKS_CAPI_CONNECT_ENGINE_H
