// Start-up and shut-down of a module or program of the MSVC-ABI flavour
// (see crt_init.cpp).
#ifndef QBSOCKS_PLATFORM_MSVC_CRT_INIT_H
#define QBSOCKS_PLATFORM_MSVC_CRT_INIT_H

// Runs the constructors of the globals, in the order the linker laid out.
void QbRunInitializers();
// Runs what atexit registered, the last registered first.
void QbRunExitFunctions();

#endif  // QBSOCKS_PLATFORM_MSVC_CRT_INIT_H
