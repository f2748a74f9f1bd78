// The class library's socket classes, CAsyncSocket and CSocket, with the
// names, signatures and virtual functions of MFC 4.2, over BSD sockets or
// Winsock. Built as the shared library qbafx, so that a host and the
// modules it loads share one copy of the class library's state.
#ifndef QBSOCKS_PLATFORM_AFXSOCK_H
#define QBSOCKS_PLATFORM_AFXSOCK_H

#include "win32.h"

// QBAFX_STATIC: the class library is linked into the module that uses it
// (the C interface's self-contained module), not imported.
#if defined(QBAFX_STATIC)
#define QBAFX_API
#elif defined(_WIN32)
#ifdef QBAFX_BUILD
#define QBAFX_API __declspec(dllexport)
#else
#define QBAFX_API __declspec(dllimport)
#endif
#else
#define QBAFX_API __attribute__((visibility("default")))
#endif

#ifndef SOCK_STREAM
#define SOCK_STREAM 1
#endif
#ifndef SOL_SOCKET
#define SOL_SOCKET 0xffff
#endif

class CObject;
class CArchive;
class CDumpContext;

// Run-time class information, reduced to what GetRuntimeClass reports.
struct QBAFX_API CRuntimeClass {
  LPCSTR m_lpszClassName;
  int m_nObjectSize;
  UINT m_wSchema;
  CRuntimeClass* m_pBaseClass;

  BOOL IsDerivedFrom(const CRuntimeClass* pBaseClass) const;
};

#define RUNTIME_CLASS(class_name) (&class_name::class##class_name)

class QBAFX_API CObject {
 public:
  virtual CRuntimeClass* GetRuntimeClass() const;
  virtual ~CObject();

  // Present so that the virtual table has MFC's shape; they do nothing.
  virtual void Serialize(CArchive& ar);
  virtual void AssertValid() const;
  virtual void Dump(CDumpContext& dc) const;

  BOOL IsKindOf(const CRuntimeClass* pClass) const;

  static CRuntimeClass classCObject;

  // Objects of the class library's classes, and of every class derived from
  // them, come from the class library's heap and go back to it, whichever
  // module says new or delete (as with MFC's CObject): a host with a C
  // run-time and heap of its own may create a CSocks and have the module's
  // destructor delete it. The class library raises no exceptions, so where
  // MFC throws CMemoryException, new gives NULL and constructs nothing.
  static void* PASCAL operator new(size_t nSize) noexcept;
  static void* PASCAL operator new(size_t nSize, void* p) noexcept;
  static void PASCAL operator delete(void* p) noexcept;
  static void PASCAL operator delete(void* p, void* pPlace) noexcept;

 protected:
  CObject() = default;

 private:
  CObject(const CObject&) = delete;
  CObject& operator=(const CObject&) = delete;
};

class QBAFX_API CAsyncSocket : public CObject {
 public:
  CAsyncSocket();
  ~CAsyncSocket() override;

  CRuntimeClass* GetRuntimeClass() const override;
  static CRuntimeClass classCAsyncSocket;

  // Opens a non-blocking, close-on-exec TCP socket, bound when a port or
  // an address is given.
  BOOL Create(UINT nSocketPort = 0, int nSocketType = SOCK_STREAM,
              long lEvent = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE,
              QBAFX_LPCSTR lpszSocketAddress = NULL);

  SOCKET m_hSocket;
  operator SOCKET() const { return m_hSocket; }

  BOOL Attach(SOCKET hSocket, long lEvent = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE);
  SOCKET Detach();

  BOOL GetPeerName(SOCKADDR* lpSockAddr, int* lpSockAddrLen);
  BOOL GetSockName(SOCKADDR* lpSockAddr, int* lpSockAddrLen);
  BOOL SetSockOpt(int nOptionName, const void* lpOptionValue, int nOptionLen, int nLevel = SOL_SOCKET);
  BOOL GetSockOpt(int nOptionName, void* lpOptionValue, int* lpOptionLen, int nLevel = SOL_SOCKET);

  static int GetLastError();

  virtual BOOL Accept(CAsyncSocket& rConnectedSocket, SOCKADDR* lpSockAddr = NULL, int* lpSockAddrLen = NULL);
  BOOL Bind(UINT nSocketPort, QBAFX_LPCSTR lpszSocketAddress = NULL);
  virtual void Close();

  // Dotted IPv4 text or a name resolved for IPv4; the port's low 16 bits.
  BOOL Connect(QBAFX_LPCSTR lpszHostAddress, UINT nHostPort);
  BOOL Connect(const SOCKADDR* lpSockAddr, int nSockAddrLen);

#ifdef QBAFX_WIDE_OVERLOADS
  // A Unicode host's text, in the ANSI code page (win32.h): compiled into
  // the host, they add no export.
  template <class TChar>
  typename qbafx::WideOnly<TChar, BOOL>::Type Create(UINT nSocketPort, int nSocketType, long lEvent,
                                                     const TChar* lpszSocketAddress) {
    const qbafx::AnsiText address(lpszSocketAddress);
    return address.IsValid() && Create(nSocketPort, nSocketType, lEvent, address.Text());
  }
  template <class TChar>
  typename qbafx::WideOnly<TChar, BOOL>::Type Bind(UINT nSocketPort, const TChar* lpszSocketAddress) {
    const qbafx::AnsiText address(lpszSocketAddress);
    return address.IsValid() && Bind(nSocketPort, address.Text());
  }
  // A name with letters beyond ASCII fails with WSAEINVAL (win32.h).
  template <class TChar>
  typename qbafx::WideOnly<TChar, BOOL>::Type Connect(const TChar* lpszHostAddress, UINT nHostPort) {
    if (!qbafx::IsAsciiHostName(lpszHostAddress)) {
      WSASetLastError(WSAEINVAL);
      return FALSE;
    }
    const qbafx::AnsiText host(lpszHostAddress);
    return host.IsValid() && Connect(host.Text(), nHostPort);
  }
#endif

  BOOL Listen(int nConnectionBacklog = 5);

  // Never blocks: -1 with WSAEWOULDBLOCK when nothing has arrived.
  virtual int Receive(void* lpBuf, int nBufLen, int nFlags = 0);

  enum { receives = 0, sends = 1, both = 2 };
  BOOL ShutDown(int nHow = sends);

  virtual int Send(const void* lpBuf, int nBufLen, int nFlags = 0);

  BOOL AsyncSelect(long lEvent = FD_READ | FD_WRITE | FD_OOB | FD_ACCEPT | FD_CONNECT | FD_CLOSE);

  // Notifications. This class library has no window to deliver them
  // through, so they are never raised; they exist for hosts to override.
  virtual void OnReceive(int nErrorCode);
  virtual void OnSend(int nErrorCode);
  virtual void OnOutOfBandData(int nErrorCode);
  virtual void OnAccept(int nErrorCode);
  virtual void OnConnect(int nErrorCode);
  virtual void OnClose(int nErrorCode);

 protected:
  virtual BOOL ConnectHelper(const SOCKADDR* lpSockAddr, int nSockAddrLen);
  virtual int ReceiveFromHelper(void* lpBuf, int nBufLen, SOCKADDR* lpSockAddr, int* lpSockAddrLen, int nFlags);
  virtual int SendToHelper(const void* lpBuf, int nBufLen, const SOCKADDR* lpSockAddr, int nSockAddrLen, int nFlags);

  long m_lEvent;
};

class QBAFX_API CSocket : public CAsyncSocket {
 public:
  CSocket();
  ~CSocket() override;

  CRuntimeClass* GetRuntimeClass() const override;
  static CRuntimeClass classCSocket;

  BOOL IsBlocking() const { return m_pbBlocking != NULL; }

  // Ends the blocking call in progress on this socket: from
  // OnMessagePending on the same thread, or from another thread (which
  // wakes the wait at once).
  void CancelBlockingCall();

  BOOL Accept(CAsyncSocket& rConnectedSocket, SOCKADDR* lpSockAddr = NULL, int* lpSockAddrLen = NULL) override;
  void Close() override;
  // Blocking: waits until data arrives, the peer closes, or the wait is
  // cancelled.
  int Receive(void* lpBuf, int nBufLen, int nFlags = 0) override;
  // Blocking: sends everything or fails; never raises SIGPIPE.
  int Send(const void* lpBuf, int nBufLen, int nFlags = 0) override;

 protected:
  BOOL* m_pbBlocking;  // non-null while a blocking call runs on this socket
  int m_nConnectError;
  int m_nTimeOut;  // pump interval of PumpMessages, in milliseconds
  // Whether a blocking call runs on this socket, and whether it has been
  // asked to end or its socket closed under it: a qbafx::BlockingCallState,
  // changed only by interlocked operations (CancelBlockingCall may come
  // from another thread).
  volatile LONG m_nBlockingCall;
  // Set by PumpMessages when its wait ended with the socket writable, so
  // that a connect need not ask getpeername whether it is over.
  BOOL m_bSawWritable;

  BOOL ConnectHelper(const SOCKADDR* lpSockAddr, int nSockAddrLen) override;
  int ReceiveFromHelper(void* lpBuf, int nBufLen, SOCKADDR* lpSockAddr, int* lpSockAddrLen, int nFlags) override;
  int SendToHelper(const void* lpBuf, int nBufLen, const SOCKADDR* lpSockAddr, int nSockAddrLen, int nFlags) override;

  // Called once per blocking wait that finds the socket not ready, before
  // it sleeps (a blocking call waits again at every pump interval), so
  // that host code can run on the socket's thread; on Windows also as soon
  // as a message arrives for the thread. The default returns FALSE; on
  // Windows it first dispatches a waiting WM_PAINT, leaving other messages
  // queued.
  virtual BOOL OnMessagePending();

  // Waits until one of the events (FD_READ, FD_WRITE, FD_CONNECT, ...) may
  // have happened, or m_nTimeOut has passed; on Windows it pumps the
  // thread's messages meanwhile. Non-zero to go on; 0 when the wait was
  // cancelled (WSAEINTR) or the socket is closed (WSAENOTSOCK).
  virtual BOOL PumpMessages(UINT uStopFlag);
};

namespace qbafx {

// The states of CSocket::m_nBlockingCall. Only the socket's own thread
// leaves kIdle or goes back to it. CancelBlockingCall, from any thread,
// turns only kRunning into kCancelRequested, so that a cancel made while
// nothing blocks is dropped, as MFC drops it.
enum BlockingCallState : LONG {
  kIdle = 0,
  kRunning = 1,
  kCancelRequested = 2,  // the call ends with WSAEINTR at its next wait, or at its end
  kSocketClosed = 3,     // Close ran during the call, which ends with WSAENOTSOCK
};

// Whether the socket was closed during the blocking call that runs:
// whatever the handle names now, perhaps another socket with the same
// value, is not the call's.
inline bool SocketClosedDuringCall(volatile LONG& state) {
  return InterlockedCompareExchange(&state, kIdle, kIdle) == kSocketClosed;
}

// Marks a blocking call of a CSocket as running while it lives: one of
// CSocket's own, or a derived class's call that waits several times
// (PumpMessages after PumpMessages, with work in between), so that a cancel
// or a close that comes between two waits, or late in one, still ends the
// whole call. Nested in a call that runs already, it leaves the marking to
// that one. Inline, so that the class library exports nothing more.
class BlockingCall {
 public:
  explicit BlockingCall(volatile LONG& state)
      : state_(state), owner_(InterlockedCompareExchange(&state, kRunning, kIdle) == kIdle) {}
  ~BlockingCall() {
    if (owner_) InterlockedExchange(&state_, kIdle);
  }
  BlockingCall(const BlockingCall&) = delete;
  BlockingCall& operator=(const BlockingCall&) = delete;

  bool SocketClosed() const { return SocketClosedDuringCall(state_); }

  // True, once, when a cancel was requested: the call is to end (WSAEINTR).
  bool TakeCancel() { return InterlockedCompareExchange(&state_, kRunning, kCancelRequested) == kCancelRequested; }

  // For a call about to end otherwise: true when a cancel came first, so
  // that the call ends cancelled. The owner's marking ends here, in the same
  // step, and a cancel after it is dropped; a nested call takes the cancel.
  bool Finish() {
    if (!owner_) return TakeCancel();
    owner_ = false;
    return InterlockedExchange(&state_, kIdle) == kCancelRequested;
  }

 private:
  volatile LONG& state_;
  bool owner_;
};

// The rest of a blocking call's rules, for CSocket's calls and for a
// derived class's call that waits as they do; inline, as BlockingCall is.

// MFC's rule: a second blocking call on a socket that already has one
// running (pbBlocking, its m_pbBlocking, is set) is refused with
// WSAEINPROGRESS.
inline bool MayBlock(const BOOL* pbBlocking) {
  if (pbBlocking == NULL) return true;
  WSASetLastError(WSAEINPROGRESS);
  return false;
}

// Runs a non-blocking attempt until it stops reporting WSAEWOULDBLOCK,
// waiting between attempts; SOCKET_ERROR when an attempt fails otherwise
// or a wait gives up (the wait has set the last error).
template <typename Attempt, typename WaitForReadiness>
int RetryWhileWouldBlock(Attempt attempt, WaitForReadiness wait) {
  for (;;) {
    const int nResult = attempt();
    if (nResult != SOCKET_ERROR) return nResult;
    if (WSAGetLastError() != WSAEWOULDBLOCK || !wait()) return SOCKET_ERROR;
  }
}

}  // namespace qbafx

// Starts the socket layer (WSAStartup on Windows). The host calls it.
QBAFX_API BOOL AfxSocketInit(WSADATA* lpwsaData = NULL);

#endif  // QBSOCKS_PLATFORM_AFXSOCK_H
