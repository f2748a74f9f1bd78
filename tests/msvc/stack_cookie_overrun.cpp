// Built with the DLLs' hardening: a function that writes past the end of its
// local buffer, by as many bytes as QB_OVERRUN_BYTES says, must end the
// process at the stack cookie check instead of returning.
#include <stddef.h>

// MSVCRT.DLL's.
extern "C" int __cdecl printf(const char* pszFormat, ...);
extern "C" int __cdecl _flushall(void);
extern "C" char* __cdecl getenv(const char* pszName);
extern "C" int __cdecl atoi(const char* psz);

extern "C" size_t __security_cookie;

namespace {

const int kBufferBytes = 16;
#ifdef _WIN64
const size_t kDefaultCookie = 0x00002B992DDFA232;
#else
const size_t kDefaultCookie = 0xBB40E64E;
#endif

__declspec(noinline) int Overrun(int nBytes) {
  volatile char buffer[kBufferBytes];
  for (int i = 0; i < nBytes; ++i) buffer[i] = static_cast<char>(0x41 + i);
  return buffer[0];
}

}  // namespace

int QbMain() {
  const char* pszBytes = getenv("QB_OVERRUN_BYTES");
  const int nOverrun = pszBytes != NULL ? atoi(pszBytes) : 0;
  printf("cookie %s the default\n", __security_cookie == kDefaultCookie ? "is still" : "differs from");
  printf("overrunning a %d-byte buffer by %d bytes\n", kBufferBytes, nOverrun);
  _flushall();
  const int nFirst = Overrun(kBufferBytes + nOverrun);
  printf("returned (%d)\n", nFirst);
  return 0;
}
