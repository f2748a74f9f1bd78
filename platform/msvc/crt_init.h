// Start-up and shut-down of a module or program of the MSVC-ABI flavour
// (see crt_init.cpp).
#ifndef QBSOCKS_PLATFORM_MSVC_CRT_INIT_H
#define QBSOCKS_PLATFORM_MSVC_CRT_INIT_H

// Runs the constructors of the globals, in the order the linker laid out.
void QbRunInitializers();
// Runs what atexit registered, the last registered first.
void QbRunExitFunctions();

// Gives the stack cookie its start-up value (security_cookie.cpp); called
// first, before any code that checks the cookie runs.
extern "C" void __cdecl __security_init_cookie();

// Links the load configuration directory (load_config.cpp), which nothing
// refers to by name, into the image of the entry that uses this.
#ifdef _M_IX86  // C names carry a leading _ on x86 alone
#define QB_LINK_LOAD_CONFIG __pragma(comment(linker, "/include:__load_config_used"))
#else
#define QB_LINK_LOAD_CONFIG __pragma(comment(linker, "/include:_load_config_used"))
#endif

#endif  // QBSOCKS_PLATFORM_MSVC_CRT_INIT_H
