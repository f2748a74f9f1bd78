// The SOCKS4 and SOCKS5 negotiations as values: no I/O here. A Handshake
// is given the target (and for SOCKS5 the credentials), says what it wants
// next (bytes sent, bytes received, the user's name), takes what came of
// it, and ends done or with a Failure: the step, what ended it, the
// proxy's code, the system's error and the text CSocks hands MyMessageBox.
//
// The proxy's time is the handshake's too: each reply is to come whole
// within ten seconds (kReplyLimitMs) of its first receive, judged by the
// clock the driver passes in (GetTickCount()), after a receive: a reply
// already received is taken however late the driver looks.
//
// Two drivers run it through one step, Drive (below): CSocks, with the
// class library's blocking calls (Replies.cpp), and the C interface, with
// a non-blocking socket that the caller's loop or the library's own thread
// watches. Both get the same steps, causes, codes and texts from here.
//
// What Drive does with each want:
//
//   Want::kSend:    send OutputSize() bytes of Output() whole, then Sent(),
//                   or SendFailed(error);
//   Want::kUserId:  SetUserId(the system's user name, "" for none);
//   Want::kReceive: Receiving(now); receive at most InputRoom() bytes into
//                   InputBuffer(), then Received(n), or Closed(),
//                   ReceiveFailed(error), or, when nothing came,
//                   NothingCame(now): past the reply's time that fails it,
//                   else the driver waits MillisecondsLeft(now);
//   Want::kDone:    connected;
//   Want::kFailed:  failure() says why.
//
// The wire layouts are in Negotiation.h, whose builders make the requests.
#ifndef QBSOCKS_HANDSHAKE_H
#define QBSOCKS_HANDSHAKE_H

#include "Negotiation.h"
#include "qbsocks.h"  // QBSOCKS_STEP_*, QBSOCKS_CAUSE_*, QBSOCKS_NO_PROXY_CODE
#include "win32.h"

namespace qbproxy {

// Why a connect failed, as a value. The numbers are the C interface's.
struct Failure {
  int step = QBSOCKS_STEP_NONE;           // QBSOCKS_STEP_*
  int cause = QBSOCKS_CAUSE_NONE;         // QBSOCKS_CAUSE_*
  int proxyCode = QBSOCKS_NO_PROXY_CODE;  // the proxy's code, only when cause is QBSOCKS_CAUSE_REFUSED
  LONG systemError = 0;                   // a Windows Sockets number, or the registry's result; 0: none
  const char* text = nullptr;             // FailureTexts.h, for MyMessageBox; null: the step has none
  // The reply's code says the proxy could not reach the target (refused,
  // unreachable, timed out), rather than that it refused the request itself.
  bool targetFailed = false;
};

// The Windows Sockets number a failure leaves as the caller's last error:
// the system's error that ended it, or the one its reply code maps to;
// else the nearest for its cause (a refusal WSAECONNREFUSED, no answer
// WSAETIMEDOUT, ...). Never 0, never WSAEWOULDBLOCK.
LONG LastErrorOf(const Failure& failure);

class Handshake {
 public:
  enum class Want { kSend, kReceive, kUserId, kDone, kFailed };
  // The address texts a target may be. CSocks takes dotted IPv4 alone
  // (any other text without a letter is no address); the C interface
  // takes IPv6 too ("::1", "[2001:db8::1]"): SOCKS5 carries it as ATYP 4,
  // SOCKS4 refuses it (QBSOCKS_CAUSE_BAD_TARGET, kSocks4Ipv6Refusal).
  enum class Targets { kIpv4, kIpv4AndIpv6 };

  // The whole SOCKS4 CONNECT to lpszHost:nPort (dotted IPv4 only: a name
  // fails at once in QBSOCKS_STEP_REQUEST with QBSOCKS_CAUSE_BAD_TARGET,
  // before the user's name is asked for).
  static Handshake Socks4(const char* lpszHost, unsigned int nPort, Targets targets = Targets::kIpv4);
  // The whole SOCKS5 CONNECT: the method, the user name and password when
  // the proxy picks them, the request (a name when the host text has a
  // letter, CSocks::IsDNS's test, else dotted IPv4), the reply. lpUser
  // and lpPassword are nUser and nPassword bytes, read when the proxy
  // picks username/password; they must outlive the Handshake.
  static Handshake Socks5(const char* lpszHost, unsigned int nPort, const char* lpUser, int nUser,
                          const char* lpPassword, int nPassword, Targets targets = Targets::kIpv4);
  // RFC 1929 alone: the request, then its two-byte reply (CSocks::AuthPasswd).
  static Handshake Socks5Auth(const char* lpUser, int nUser, const char* lpPassword, int nPassword);

  // Wipes every buffer that held the password.
  ~Handshake();
  Handshake(Handshake&&) noexcept;
  Handshake(const Handshake&) = delete;
  Handshake& operator=(const Handshake&) = delete;
  Handshake& operator=(Handshake&&) = delete;

  Want Next() const;
  // The step the handshake is in now (QBSOCKS_STEP_*).
  int Step() const;

  // Want::kSend: the request, to be sent whole.
  const BYTE* Output() const;
  int OutputSize() const;
  void Sent();
  void SendFailed(LONG lError);

  // Want::kUserId (SOCKS4's USERID): "" when the system has none; a name
  // too long for the request is sent empty.
  void SetUserId(const char* lpszUserId);

  // Want::kReceive. Never asks for a byte beyond the reply, so nothing of
  // the target's stream that follows it is taken. Receiving is said before
  // each receive, with the driver's clock: the first for a reply starts its
  // ten seconds.
  void Receiving(DWORD dwNow);
  BYTE* InputBuffer();
  int InputRoom() const;      // > 0
  void Received(int nBytes);  // 0 < nBytes <= InputRoom()
  void Closed();
  void ReceiveFailed(LONG lError);
  // A receive brought nothing: past the reply's time the handshake fails
  // with QBSOCKS_CAUSE_NO_ANSWER, else it goes on.
  void NothingCame(DWORD dwNow);
  // Milliseconds until the reply's time is past (0: it is), for the
  // driver's wait; the reply's start and length for a blocking receive.
  unsigned int MillisecondsLeft(DWORD dwNow) const;
  DWORD ReplyStart() const { return m_dwReplyStart; }
  // The driver gave the reply up (its wait ended with nothing): no answer.
  void Late();

  // Want::kFailed: why.
  const Failure& failure() const;

 private:
  enum class Protocol : BYTE { kSocks4, kSocks5, kSocks5Auth };
  // Where the exchange stands. The step follows the phases, except that a
  // failure keeps the step it happened in.
  enum class Phase : BYTE {
    kUserId,         // SOCKS4: the user's name, before the request is built
    kSendOffer,      // SOCKS5: the method offer
    kReadChoice,     // SOCKS5: the proxy's method
    kSendAuth,       // RFC 1929: the user name and password
    kReadAuth,       // RFC 1929: its status
    kSendRequest,    // the CONNECT request
    kReadReply,      // SOCKS4's reply, or SOCKS5's first kSocks5ReplyPrefix bytes
    kReadReplyRest,  // SOCKS5: the rest of the bound address, by its type
    kDone,
    kFailed
  };

  Handshake(Protocol protocol, int nStep, Phase phase);
  bool IsReading() const;
  bool IsSending() const;
  void Fail(int nCause, LONG lError, const char* lpszText, int nProxyCode = QBSOCKS_NO_PROXY_CODE);
  void FailReading(int nCause, LONG lError);
  void Read(Phase phase, int nWanted);
  void ReplyWhole();
  void TakeMethod();
  void BeginAuth();
  void BeginRequest();
  void WipeAuth();

  Protocol m_protocol;
  Phase m_phase;
  int m_nStep;
  // SOCKS5's credentials, the caller's (they outlive the Handshake).
  const char* m_lpUser = "";
  int m_nUser = 0;
  const char* m_lpPassword = "";
  int m_nPassword = 0;
  // SOCKS4's target, kept for the request that the user's name completes.
  BYTE m_address[4] = {};
  unsigned int m_nPort = 0;
  // The RFC 1929 request, wiped as soon as it is sent.
  BYTE m_auth[kRequestBufferSize] = {};
  int m_nAuth = 0;
  // The CONNECT request; 0 bytes for a SOCKS5 target it cannot carry.
  BYTE m_request[kRequestBufferSize] = {};
  int m_nRequest = 0;
  // The reply being read: m_nHave of m_nWanted bytes so far.
  BYTE m_reply[kSocks5MaxReplySize] = {};
  int m_nHave = 0;
  int m_nWanted = 0;
  // When the reply's first receive began; false until it has.
  bool m_bClockStarted = false;
  DWORD m_dwReplyStart = 0;
  Failure m_failure;
};

// A driver's socket as Drive uses it: CSocks' blocking calls, or the C
// interface's non-blocking ones.
class HandshakeIo {
 public:
  enum class Moment { kTurn, kSend, kLate };

  // Sends nSize bytes of lpData: true once all have gone, or false with
  // the error (WSAEWOULDBLOCK: not all now; the driver waits until it can
  // write, and the next turn sends on).
  virtual bool SendAll(const BYTE* lpData, int nSize, LONG* lpError) = 0;
  // Receives at most nSize bytes: how many (> 0), 0 when the proxy closed,
  // -1 with the error (WSAEWOULDBLOCK: nothing came). A blocking receive
  // waits until more than dwLength ms have passed since dwStart.
  virtual int Receive(BYTE* lpBuffer, int nSize, DWORD dwStart, DWORD dwLength, LONG* lpError) = 0;
  // Whether the driver ends the connect its own way at this moment (a
  // turn begins, a request is about to go, the reply's time ran out).
  virtual bool EndsAt(Moment moment, const Handshake& handshake) = 0;
  virtual DWORD Now() { return GetTickCount(); }

 protected:
  ~HandshakeIo() = default;
};

// Where Drive left the handshake.
enum class Driven {
  kDone,          // Next() is kDone or kFailed
  kWaitWritable,  // a send would block
  kWaitReadable,  // nothing came, within the reply's time
  kEnded          // io ended it (EndsAt)
};

// The handshake's wants met through io until it is over or must wait.
Driven Drive(Handshake& handshake, HandshakeIo& io);

}  // namespace qbproxy

#endif  // QBSOCKS_HANDSHAKE_H
