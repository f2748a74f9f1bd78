// A host with a window, as an MFC application is: its window thread calls
// CSocks::Connect through a SOCKS5 proxy that holds its reply, while another
// thread does something to that thread meanwhile (repaints its window, asks
// it to quit, asks Windows whether it hangs). Windows only; plain Win32 and
// the class library, so that the MSVC-ABI host, which has no C++ standard
// library, runs the same table as the GoogleTest suite.
#ifndef QBSOCKS_TESTS_SUPPORT_WINDOW_HOST_H
#define QBSOCKS_TESTS_SUPPORT_WINDOW_HOST_H

#include "CSocks.h"

namespace window_host {

// How the host's socket overrides OnMessagePending.
enum HostKind {
  kDefaultHost,    // not at all: CSocket's own
  kQuitCanceller,  // the common idiom: cancels once WM_QUIT is queued, else CSocket's own
  kSilentHost,     // returns FALSE and never looks at the queue
  kQuitPoster,     // calls PostQuitMessage in its first turn, then CSocket's own
};

// What the other thread does while the proxy holds its reply; in this order.
enum Meanwhile : unsigned {
  kPostQuit = 1u,             // posts WM_QUIT to the window thread
  kSendPostQuitMessage = 2u,  // sends the window a message on which it calls PostQuitMessage
  kInvalidate = 4u,           // invalidates the window and waits for its WM_PAINT
  kAskIfHung = 8u,            // asks IsHungAppWindow for longer than Windows' 5 s, and
                              // sends the window a message
  kHold = 16u,                // holds the reply 2 s more
  kConnectInPaint = 32u,      // with kInvalidate: the WM_PAINT handler calls Connect on the
                              // socket whose Connect waits
};

struct WindowCase {
  const char* lpszName;
  HostKind host;
  unsigned uMeanwhile;
  BOOL bConnects;
};

inline constexpr WindowCase kWindowCases[] = {
    {"the default pump repaints the window and leaves WM_QUIT queued", kDefaultHost, kPostQuit | kInvalidate | kHold,
     TRUE},
    {"PostQuitMessage cancels the held Connect", kQuitCanceller, kSendPostQuitMessage, FALSE},
    {"the default pump leaves the quit of PostQuitMessage queued", kQuitPoster, kHold, TRUE},
    {"a posted WM_QUIT cancels the held Connect", kQuitCanceller, kPostQuit, FALSE},
    {"not hung during a long wait, whatever OnMessagePending does", kSilentHost, kPostQuit | kAskIfHung, TRUE},
    {"a Connect from the paint handler is refused and the held one goes on", kDefaultHost,
     kInvalidate | kConnectInPaint, TRUE},
};

// What a run saw.
struct WindowOutcome {
  BOOL bWindow;                // the window thread made its window
  BOOL bRequestHeld;           // the proxy had the request and held its reply
  int nConnected;              // Connect's result
  BOOL bStreamIntact;          // 256 bytes went through the proxy and came back unchanged
  BOOL bPaintedWhileBlocking;  // WM_PAINT reached the window procedure during the wait
  BOOL bQuitQueued;            // WM_QUIT was in the queue once Connect had returned
  int nCloses;                 // closes made through the virtual Close
  BOOL bClosed;                // the socket was closed afterwards
  BOOL bSentAnswered;          // a message sent from the other thread was answered
  int nHungChecks;             // IsHungAppWindow's answers, and how many said hung
  int nHungAnswers;
  int nInnerConnected;  // the paint handler's Connect: its result and last error
  int nInnerError;
  int nTurns;               // calls of OnMessagePending during Connect
  DWORD dwConnectMs;        // how long Connect took
  DWORD dwAfterFirstActMs;  // from the other thread's first act to Connect's return
};

// Writes the settings that send Connect to a SOCKS5 proxy at 127.0.0.1:nPort
// without credentials.
typedef bool (*WriteProxySettings)(UINT nPort);

// Makes the window on the calling thread, which then connects; the other
// thread is one of the run's own.
WindowOutcome RunWindowCase(const WindowCase& c, WriteProxySettings pfnWriteSettings);

// Calls report(ok, what) for everything the case expects of its outcome.
template <typename Report>
void CheckWindowOutcome(const WindowCase& c, const WindowOutcome& o, Report report) {
  report(o.bWindow != FALSE, "the window was made (Wine needs its null display driver)");
  report(o.bRequestHeld != FALSE, "the proxy had the request and held its reply");
  report(o.nConnected == c.bConnects, "Connect's result");
  if (c.bConnects) {
    report(o.bStreamIntact != FALSE, "the stream through the proxy is intact");
    report(o.nCloses == 0, "no close");
  } else {
    report(o.nCloses >= 1, "closed through the virtual Close");
    report(o.bClosed != FALSE, "the socket is closed");
  }
  const bool bQuitPosted = (c.uMeanwhile & (kPostQuit | kSendPostQuitMessage)) != 0 || c.host == kQuitPoster;
  report((o.bQuitQueued != FALSE) == bQuitPosted, "WM_QUIT left in the queue for the host's loop");
  if (c.uMeanwhile & kInvalidate) {
    report(o.bPaintedWhileBlocking != FALSE, "WM_PAINT reached the window procedure during the wait");
  }
  if (c.uMeanwhile & kConnectInPaint) {
    report(o.nInnerConnected == 0 && o.nInnerError == WSAEINPROGRESS,
           "the paint handler's Connect refused with WSAEINPROGRESS");
  }
  if (c.uMeanwhile & (kSendPostQuitMessage | kAskIfHung)) {
    report(o.bSentAnswered != FALSE, "a message sent from another thread answered during the wait");
  }
  if (c.uMeanwhile & kAskIfHung) {
    report(o.nHungChecks > 0 && o.nHungAnswers == 0, "IsHungAppWindow never said hung");
  }
  // A wait that woke again and again for a message left in the queue would
  // turn thousands of times a second; one that sleeps turns every few tens
  // of milliseconds.
  report(o.nTurns <= static_cast<int>(o.dwConnectMs / 5) + 20,
         "the wait slept between turns, with messages left queued");
}

}  // namespace window_host

#endif  // QBSOCKS_TESTS_SUPPORT_WINDOW_HOST_H
