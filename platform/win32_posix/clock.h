// The one monotonic clock of the POSIX stand-ins (system.cpp): under
// GetTickCount, and what the socket waits measure with. Internal to qbafx.
#ifndef QBSOCKS_PLATFORM_POSIX_CLOCK_H
#define QBSOCKS_PLATFORM_POSIX_CLOCK_H

#include "win32.h"

namespace qbplatform {

// CLOCK_MONOTONIC in milliseconds, truncated to 32 bits.
DWORD MonotonicMilliseconds() noexcept;

}  // namespace qbplatform

#endif  // QBSOCKS_PLATFORM_POSIX_CLOCK_H
