// Seams that tests use to put the platform stand-ins into states that are
// hard to reach otherwise. Not for production code.
#ifndef QBSOCKS_PLATFORM_TESTING_H
#define QBSOCKS_PLATFORM_TESTING_H

#include "win32.h"

#ifndef _WIN32
// Adds `offset` (modulo 2^32) to every later GetTickCount() result, so that
// a test can bring the counter close to its wrap. 0 restores the real clock.
extern "C" QBPLATFORM_API void QbSetTickCountOffsetForTesting(DWORD offset);
#endif

#endif  // QBSOCKS_PLATFORM_TESTING_H
