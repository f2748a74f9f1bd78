// The part of the Win32 API that QBSocks32 and its tools use.
//
// On Windows this is the real system (win32_windows.h). Elsewhere
// win32_posix.h declares our own stand-ins with the same names,
// signatures, types and numbers as the Windows SDK, so that code above the
// platform layer is written once.
#ifndef QBSOCKS_PLATFORM_WIN32_H
#define QBSOCKS_PLATFORM_WIN32_H

#ifdef _WIN32
#include "win32_windows.h"
#else
#include "win32_posix.h"
#endif

#endif  // QBSOCKS_PLATFORM_WIN32_H
