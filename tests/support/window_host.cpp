// The window host's run: the held proxy, the window on the calling thread,
// and the other thread's acts, ordered by events. The limits below are only there so that
// a wait that ignores the window ends in a verdict instead of a hang: each
// lets the proxy's reply go well inside CSocks's ten seconds for a reply, so
// that such a wait ends in a Connect that succeeds where it should not, or
// without the paint it should have had.
#include "support/window_host.h"

#include <string.h>

namespace window_host {
namespace {

constexpr DWORD kSetupMs = 30000;     // the proxy's accept, the window, the request
constexpr DWORD kPaintMs = 5000;      // for the WM_PAINT after the invalidation
constexpr DWORD kCancelMs = 5000;     // for a cancelled Connect to return
constexpr DWORD kAnswerMs = 5000;     // for a sent message to be answered
constexpr DWORD kHungWatchMs = 6000;  // Windows calls a window hung after 5 s
constexpr DWORD kHungPollMs = 100;
constexpr DWORD kHoldMs = 2000;

// The proxy plays the target itself (it echoes), so no connection goes here.
constexpr UINT kTargetPort = 80;
const char kWindowClass[] = "QBSocksWindowHost";
// Sent to the window, whose procedure then calls PostQuitMessage.
constexpr UINT kCallPostQuitMessage = WM_APP + 1;

// A thread that runs pfnMain(pParam), waited for by Join or at the end of
// its scope. Only the calling thread reports through MyMessageBox (whose
// recording in the GoogleTest flavour is thread_local, which MinGW cannot
// destroy safely on a thread that CreateThread made).
class CThread {
 public:
  CThread() : m_hThread(NULL), m_pfnMain(NULL), m_pParam(NULL) {}
  ~CThread() { Join(); }
  CThread(const CThread&) = delete;
  CThread& operator=(const CThread&) = delete;

  bool Start(void (*pfnMain)(void*), void* pParam) {
    m_pfnMain = pfnMain;
    m_pParam = pParam;
    m_hThread = CreateThread(NULL, 0, Trampoline, this, 0, NULL);
    return m_hThread != NULL;
  }

  void Join() {
    if (m_hThread == NULL) return;
    WaitForSingleObject(m_hThread, INFINITE);
    CloseHandle(m_hThread);
    m_hThread = NULL;
  }

 private:
  static DWORD WINAPI Trampoline(LPVOID pThis) {
    CThread* pThread = static_cast<CThread*>(pThis);
    pThread->m_pfnMain(pThread->m_pParam);
    return 0;
  }

  HANDLE m_hThread;
  void (*m_pfnMain)(void*);
  void* m_pParam;
};

// A manual-reset event, closed with its scope.
class CEvent {
 public:
  CEvent() : m_hEvent(CreateEventA(NULL, TRUE, FALSE, NULL)) {}
  ~CEvent() { CloseHandle(m_hEvent); }
  CEvent(const CEvent&) = delete;
  CEvent& operator=(const CEvent&) = delete;
  operator HANDLE() const { return m_hEvent; }

 private:
  HANDLE m_hEvent;
};

bool ReadExpected(SOCKET hSocket, const BYTE* pExpected, int nLength) {
  BYTE buffer[16];
  for (int nHave = 0; nHave < nLength;) {
    const int nGot = recv(hSocket, reinterpret_cast<char*>(buffer) + nHave, nLength - nHave, 0);
    if (nGot <= 0) return false;
    nHave += nGot;
  }
  return memcmp(buffer, pExpected, nLength) == 0;
}

bool SendAll(SOCKET hSocket, const BYTE* pBytes, int nLength) {
  while (nLength > 0) {
    const int nSent = send(hSocket, reinterpret_cast<const char*>(pBytes), nLength, 0);
    if (nSent <= 0) return false;
    pBytes += nSent;
    nLength -= nSent;
  }
  return true;
}

// A SOCKS5 proxy on 127.0.0.1 for one client: takes the method offer and
// the CONNECT request that CSocks sends for 127.0.0.1:kTargetPort, signals
// that it holds the request, replies once released, then echoes until the
// client closes.
class CHeldProxy {
 public:
  CHeldProxy(HANDLE hRequestHeld, HANDLE hRelease)
      : m_hRequestHeld(hRequestHeld), m_hRelease(hRelease), m_hListener(INVALID_SOCKET), m_nPort(0) {}
  ~CHeldProxy() {
    m_thread.Join();
    if (m_hListener != INVALID_SOCKET) closesocket(m_hListener);
  }
  CHeldProxy(const CHeldProxy&) = delete;
  CHeldProxy& operator=(const CHeldProxy&) = delete;

  bool Start() {
    m_hListener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKADDR_IN address;
    memset(&address, 0, sizeof(address));
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    int nLength = sizeof(address);
    if (m_hListener == INVALID_SOCKET ||
        bind(m_hListener, reinterpret_cast<SOCKADDR*>(&address), sizeof(address)) != 0 ||
        listen(m_hListener, 1) != 0 ||
        getsockname(m_hListener, reinterpret_cast<SOCKADDR*>(&address), &nLength) != 0) {
      return false;
    }
    m_nPort = ntohs(address.sin_port);
    return m_thread.Start(ThreadMain, this);
  }

  UINT Port() const { return m_nPort; }

 private:
  static void ThreadMain(void* pThis) { static_cast<CHeldProxy*>(pThis)->Serve(); }

  void Serve() {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(m_hListener, &readable);
    timeval limit = {static_cast<long>(kSetupMs / 1000), 0};
    if (select(0, &readable, NULL, NULL, &limit) != 1) return;
    const SOCKET hClient = accept(m_hListener, NULL, NULL);
    if (hClient == INVALID_SOCKET) return;
    static const BYTE kOffer[] = {5, 2, 0, 2};  // no authentication, or user name and password
    static const BYTE kChoice[] = {5, 0};
    const BYTE request[] = {5, 1, 0, 1, 127, 0, 0, 1, kTargetPort >> 8, kTargetPort & 0xFF};
    static const BYTE kReply[] = {5, 0, 0, 1, 127, 0, 0, 1, 0x12, 0x34};
    if (ReadExpected(hClient, kOffer, sizeof(kOffer)) && SendAll(hClient, kChoice, sizeof(kChoice)) &&
        ReadExpected(hClient, request, sizeof(request))) {
      SetEvent(m_hRequestHeld);
      WaitForSingleObject(m_hRelease, INFINITE);
      if (SendAll(hClient, kReply, sizeof(kReply))) Echo(hClient);
    }
    closesocket(hClient);
  }

  static void Echo(SOCKET hClient) {
    char buffer[512];
    int nGot;
    while ((nGot = recv(hClient, buffer, sizeof(buffer), 0)) > 0) {
      if (!SendAll(hClient, reinterpret_cast<const BYTE*>(buffer), nGot)) return;
    }
  }

  HANDLE m_hRequestHeld;
  HANDLE m_hRelease;
  SOCKET m_hListener;
  UINT m_nPort;
  CThread m_thread;
};

// The host's socket: counts the closes CSocks makes through the virtual
// table, and answers OnMessagePending as its kind says.
class CHostSocks : public CSocks {
 public:
  explicit CHostSocks(HostKind host) : m_nCloses(0), m_nTurns(0), m_host(host) {}
  void Close() override {
    ++m_nCloses;
    CSocks::Close();
  }
  int m_nCloses;
  int m_nTurns;

 protected:
  BOOL OnMessagePending() override {
    ++m_nTurns;
    if (m_host == kSilentHost) return FALSE;
    if (m_host == kQuitPoster && m_nTurns == 1) PostQuitMessage(0);
    MSG msg;
    if (m_host == kQuitCanceller && PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_NOREMOVE)) {
      CancelBlockingCall();
      return FALSE;
    }
    return CSocks::OnMessagePending();
  }

 private:
  HostKind m_host;
};

// What the two threads share: the calling thread, which has the window and
// connects, writes the outcome's fields about the socket and the queue; the
// other thread writes those about its acts, and ends before they are read.
struct Run {
  const WindowCase* pCase;
  HANDLE hRequestHeld;
  HANDLE hRelease;
  HANDLE hPainted;
  HANDLE hConnectReturned;
  HWND hWnd;
  DWORD dwThreadId;  // the window's thread
  CSocks* pSocket;   // the socket in Connect, for the window procedure
  DWORD dwStart;     // tick count at the other thread's first act
  DWORD dwReturned;  // and when Connect returned
  WindowOutcome outcome;
};

LRESULT CALLBACK WindowProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam) {
  Run* pRun = reinterpret_cast<Run*>(GetWindowLongPtrA(hWnd, GWLP_USERDATA));
  if (pRun != NULL && uMsg == WM_PAINT) {
    PAINTSTRUCT paint;
    BeginPaint(hWnd, &paint);
    EndPaint(hWnd, &paint);
    CSocks* pSocket = pRun->pSocket;
    if (pSocket != NULL && pSocket->IsBlocking()) {
      WindowOutcome& o = pRun->outcome;
      if ((pRun->pCase->uMeanwhile & kConnectInPaint) && !o.bPaintedWhileBlocking) {
        o.nInnerConnected = pSocket->Connect("127.0.0.1", kTargetPort);
        o.nInnerError = WSAGetLastError();
      }
      o.bPaintedWhileBlocking = TRUE;
      SetEvent(pRun->hPainted);
    }
    return 0;
  }
  if (pRun != NULL && uMsg == kCallPostQuitMessage) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(hWnd, uMsg, wParam, lParam);
}

// Sends 256 byte values and reads them all back.
bool Echoes(CSocket& socket) {
  BYTE bytes[256], received[256];
  for (int i = 0; i < 256; ++i) bytes[i] = static_cast<BYTE>(i);
  if (socket.Send(bytes, sizeof(bytes)) != static_cast<int>(sizeof(bytes))) return false;
  for (int nHave = 0; nHave < static_cast<int>(sizeof(received));) {
    const int nGot = socket.Receive(received + nHave, sizeof(received) - nHave);
    if (nGot <= 0) return false;
    nHave += nGot;
  }
  return memcmp(bytes, received, sizeof(bytes)) == 0;
}

HWND MakeWindow(Run& run) {
  const HINSTANCE hInstance = GetModuleHandleA(NULL);
  WNDCLASSA windowClass;
  memset(&windowClass, 0, sizeof(windowClass));
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = hInstance;
  windowClass.lpszClassName = kWindowClass;
  RegisterClassA(&windowClass);  // fails harmlessly once the class is there
  const HWND hWnd = CreateWindowExA(0, kWindowClass, "window host", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, NULL, NULL,
                                    hInstance, NULL);
  if (hWnd == NULL) return NULL;
  ShowWindow(hWnd, SW_SHOWNOACTIVATE);  // a hidden window gets no WM_PAINT
  // Its first paint and the rest of its start go before the wait.
  MSG msg;
  while (PeekMessageA(&msg, NULL, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  SetWindowLongPtrA(hWnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&run));
  return hWnd;
}

bool Answered(HWND hWnd, UINT uMsg) {
  DWORD_PTR dwResult = 0;
  return SendMessageTimeoutA(hWnd, uMsg, 0, 0, SMTO_NORMAL, kAnswerMs, &dwResult) != 0;
}

// The other thread: once the proxy holds the request, acts on the window
// thread, then lets the reply go. A Connect that the host cancels has had
// its chance to end before the reply; one that goes on gets it and succeeds.
void OtherThread(void* pParam) {
  Run& run = *static_cast<Run*>(pParam);
  WindowOutcome& o = run.outcome;
  const HANDLE waitFor[] = {run.hRequestHeld, run.hConnectReturned};
  o.bRequestHeld = WaitForMultipleObjects(2, waitFor, FALSE, kSetupMs) == WAIT_OBJECT_0;
  run.dwStart = GetTickCount();
  const unsigned uMeanwhile = o.bRequestHeld ? run.pCase->uMeanwhile : 0u;
  if (uMeanwhile & kPostQuit) PostThreadMessageA(run.dwThreadId, WM_QUIT, 0, 0);
  if (uMeanwhile & kSendPostQuitMessage) o.bSentAnswered = Answered(run.hWnd, kCallPostQuitMessage);
  if (uMeanwhile & kInvalidate) {
    InvalidateRect(run.hWnd, NULL, FALSE);
    WaitForSingleObject(run.hPainted, kPaintMs);
  }
  if (uMeanwhile & kAskIfHung) {
    o.bSentAnswered = Answered(run.hWnd, WM_NULL);
    while (GetTickCount() - run.dwStart < kHungWatchMs &&
           WaitForSingleObject(run.hConnectReturned, kHungPollMs) == WAIT_TIMEOUT) {
      ++o.nHungChecks;
      if (IsHungAppWindow(run.hWnd)) ++o.nHungAnswers;
    }
  }
  if (uMeanwhile & kHold) WaitForSingleObject(run.hConnectReturned, kHoldMs);
  if (o.bRequestHeld && !run.pCase->bConnects) WaitForSingleObject(run.hConnectReturned, kCancelMs);
  SetEvent(run.hRelease);
}

// The window thread's part, on the calling thread.
void ConnectOnWindowThread(Run& run) {
  WindowOutcome& o = run.outcome;
  CHostSocks socks(run.pCase->host);
  const DWORD dwConnecting = GetTickCount();
  if (socks.Create()) {
    run.pSocket = &socks;
    o.nConnected = socks.Connect("127.0.0.1", kTargetPort);
    run.pSocket = NULL;
  }
  run.dwReturned = GetTickCount();
  o.dwConnectMs = run.dwReturned - dwConnecting;
  o.nTurns = socks.m_nTurns;
  SetEvent(run.hConnectReturned);
  MSG msg;
  o.bQuitQueued = PeekMessageA(&msg, NULL, WM_QUIT, WM_QUIT, PM_REMOVE);
  if (o.nConnected) o.bStreamIntact = Echoes(socks);
  o.nCloses = socks.m_nCloses;
  o.bClosed = socks.m_hSocket == INVALID_SOCKET;
}

}  // namespace

WindowOutcome RunWindowCase(const WindowCase& c, WriteProxySettings pfnWriteSettings) {
  CEvent requestHeld, release, painted, connectReturned;
  Run run;
  memset(&run, 0, sizeof(run));
  run.pCase = &c;
  run.hRequestHeld = requestHeld;
  run.hRelease = release;
  run.hPainted = painted;
  run.hConnectReturned = connectReturned;
  run.dwThreadId = GetCurrentThreadId();

  // Its destructor waits for its thread, which the release lets finish.
  CHeldProxy proxy(requestHeld, release);
  run.hWnd = MakeWindow(run);
  run.outcome.bWindow = run.hWnd != NULL;
  CThread other;
  if (run.hWnd != NULL && proxy.Start() && pfnWriteSettings(proxy.Port()) && other.Start(OtherThread, &run)) {
    ConnectOnWindowThread(run);
    other.Join();
    run.outcome.dwAfterFirstActMs = run.dwReturned - run.dwStart;
  }
  SetEvent(release);
  if (run.hWnd != NULL) DestroyWindow(run.hWnd);
  return run.outcome;
}

}  // namespace window_host
