// What a failed Connect met, as facts: the step it was in, what ended it,
// the proxy's code and the system's error, noted where each arises. The
// texts (FailureTexts.h) are for people; these are for programs.
//
// A seam of the same kind as MyMessageBox: the library's module links the
// notes that keep nothing (ConnectFacts.cpp); the C interface links its
// own, which keep them per thread and hand them to its callers. Not
// installed; no export.
#ifndef QBSOCKS_CONNECT_FACTS_H
#define QBSOCKS_CONNECT_FACTS_H

#include "win32.h"

namespace qbfacts {

// The steps of a connect, in the order it takes them. The numbers are the
// C interface's QBSOCKS_STEP_* (qbsocks.h): never renumbered.
enum Step {
  kNoStep = 0,
  kSettings = 1,       // reading the settings
  kProxyLookup = 2,    // looking up the proxy's name
  kProxyConnect = 3,   // the TCP connect to the proxy
  kMethod = 4,         // SOCKS5: offering methods, reading the proxy's choice
  kAuth = 5,           // SOCKS5: the user name and password (RFC 1929)
  kUserId = 6,         // SOCKS4: asking the system for the user's name (USERID)
  kRequest = 7,        // building and sending the CONNECT request
  kReply = 8,          // reading the proxy's reply to it
  kTargetLookup = 9,   // direct: looking up the target's name
  kTargetConnect = 10  // direct: the TCP connect to the target
};

// What ended the step. The numbers are qbsocks.h's QBSOCKS_CAUSE_*.
enum Cause {
  kNoCause = 0,
  kSystemError = 1,  // a call of the system failed (the error says which)
  kRefused = 2,      // the proxy answered with a refusal (its code)
  kBadReply = 3,     // a reply not framed as the protocol says
  kClosed = 4,       // the proxy closed the connection before its reply was whole
  kNoAnswer = 5,     // no whole reply within the library's ten seconds
  kBadTarget = 6,    // the path cannot carry this host text; nothing was sent for it
  kStoreFailed = 7,  // the settings exist but cannot be read (the registry's result)
  kTimedOut = 8,     // the caller's bound ran out
  kCancelled = 9     // the caller cancelled
};

// No proxy's code: the step ended without a refusal.
const int kNoCode = -1;

// The connect enters a step; what an earlier step noted is over.
void NoteStep(Step step);
// What ends the current step: the cause, the proxy's code (kNoCode) and
// the system's error (a Windows Sockets number, or for kStoreFailed the
// registry's result; 0 for none).
void NoteCause(Cause cause, int nCode, LONG lError);

// The lookup of a name is over and its TCP connect begins: the step after
// it (the same step when it was no lookup).
inline Step StepAfterLookup(Step step) {
  return step == kProxyLookup ? kProxyConnect : step == kTargetLookup ? kTargetConnect : step;
}

}  // namespace qbfacts

#endif  // QBSOCKS_CONNECT_FACTS_H
