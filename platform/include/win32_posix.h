// The Win32 stand-ins of win32.h on systems other than Windows: the types,
// numbers and declarations of the Windows SDK that QBSocks32 and its tools
// use, implemented by qbafx (platform/win32_posix). Included by win32.h alone.
#ifndef QBSOCKS_PLATFORM_WIN32_POSIX_H
#define QBSOCKS_PLATFORM_WIN32_POSIX_H

#include <arpa/inet.h>  // inet_addr, htons, INADDR_NONE: the system's own
#include <netinet/in.h>
#include <sys/socket.h>

#include <stddef.h>
#include <stdint.h>

#ifdef QBAFX_STATIC
#define QBPLATFORM_API
#else
#define QBPLATFORM_API __attribute__((visibility("default")))
#endif

// ---- Basic types (ILP32 sizes, as on 32-bit Windows) ----
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef LONG LSTATUS;
typedef uintptr_t UINT_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef char TCHAR;
typedef char* LPTSTR;
typedef const char* LPCTSTR;
// The text parameters of the class library's exports (8-bit, as LPCTSTR
// is here).
#define QBAFX_LPCSTR LPCTSTR
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef DWORD* LPDWORD;
typedef BOOL* LPBOOL;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;

// The class library's calling convention: the platform's default here.
#define PASCAL

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// A module entry's reasons, numbered as on Windows, and its calling
// convention (afxdll.h).
#ifndef DLL_PROCESS_ATTACH
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3
#endif
#ifndef APIENTRY
#define APIENTRY
#endif

// ---- Error numbers ----
#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_WRITE_FAULT 29L
#define ERROR_READ_FAULT 30L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_OPERATION_ABORTED 995L
#ifndef ERROR_MOD_NOT_FOUND
#define ERROR_MOD_NOT_FOUND 126L
#endif
#define ERROR_DLL_INIT_FAILED 1114L
#define ERROR_NOT_LOGGED_ON 1245L
#define ERROR_NONE_MAPPED 1332L
#define ERROR_BADDB 1009L
#define ERROR_BADKEY 1010L
#define ERROR_CANTOPEN 1011L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_KEY_DELETED 1018L
#define ERROR_NOT_ENOUGH_QUOTA 1816L

// ---- Registry ----
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))
#define HKEY_CURRENT_USER ((HKEY)(ULONG_PTR)((LONG)0x80000001))
#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)((LONG)0x80000002))
#define HKEY_USERS ((HKEY)(ULONG_PTR)((LONG)0x80000003))

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11

// ---- Sockets: the numbers of Windows Sockets ----
typedef UINT_PTR SOCKET;
typedef struct sockaddr SOCKADDR;
typedef struct sockaddr* LPSOCKADDR;
typedef struct sockaddr_in SOCKADDR_IN;
typedef struct sockaddr_in* LPSOCKADDR_IN;
typedef struct sockaddr_in6 SOCKADDR_IN6;
typedef struct sockaddr_storage SOCKADDR_STORAGE;

#define INVALID_SOCKET ((SOCKET)(~0))
#define SOCKET_ERROR (-1)

#define FD_READ 0x01
#define FD_WRITE 0x02
#define FD_OOB 0x04
#define FD_ACCEPT 0x08
#define FD_CONNECT 0x10
#define FD_CLOSE 0x20

#define WSABASEERR 10000
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEPFNOSUPPORT 10046
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETOOMANYREFS 10059
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAELOOP 10062
#define WSAENAMETOOLONG 10063
#define WSAEHOSTDOWN 10064
#define WSAEHOSTUNREACH 10065
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSAHOST_NOT_FOUND 11001
#define WSATRY_AGAIN 11002
#define WSANO_RECOVERY 11003
#define WSANO_DATA 11004

// Windows Sockets start-up data; on this system there is nothing to start.
struct WSAData {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
  unsigned short iMaxSockets;
  unsigned short iMaxUdpDg;
  char* lpVendorInfo;
};
typedef WSAData WSADATA;
typedef WSAData* LPWSADATA;

#define MAKEWORD(a, b) ((WORD)(((BYTE)(a)) | ((WORD)((BYTE)(b))) << 8))

// Interlocked operations, sequentially consistent as Windows' are; both
// return the value the target had before. The class library's atomic
// operations on both systems (InterlockedCompareExchange(p, 0, 0) reads).
inline LONG InterlockedExchange(volatile LONG* Target, LONG Value) {
  return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(volatile LONG* Destination, LONG Exchange, LONG Comperand) {
  __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return Comperand;
}

extern "C" {

// Registry, on the current user's settings file (see settings/reg_store.h).
QBPLATFORM_API LONG RegOpenKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
QBPLATFORM_API LONG RegCreateKeyA(HKEY hKey, LPCSTR lpSubKey, PHKEY phkResult);
QBPLATFORM_API LONG RegCloseKey(HKEY hKey);
QBPLATFORM_API LONG RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType, LPBYTE lpData,
                                     LPDWORD lpcbData);
QBPLATFORM_API LONG RegSetValueExA(HKEY hKey, LPCSTR lpValueName, DWORD Reserved, DWORD dwType, const BYTE* lpData,
                                   DWORD cbData);
QBPLATFORM_API LONG RegDeleteValueA(HKEY hKey, LPCSTR lpValueName);
QBPLATFORM_API LONG RegDeleteKeyA(HKEY hKey, LPCSTR lpSubKey);

// Account, clock, strings, last error.
QBPLATFORM_API BOOL GetUserNameA(LPSTR lpBuffer, LPDWORD pcbBuffer);
QBPLATFORM_API DWORD GetTickCount(void);
QBPLATFORM_API int lstrlenA(LPCSTR lpString);
QBPLATFORM_API DWORD GetLastError(void);
QBPLATFORM_API void SetLastError(DWORD dwErrCode);
QBPLATFORM_API void* SecureZeroMemory(void* ptr, size_t cnt);

// Windows Sockets.
QBPLATFORM_API int WSAStartup(WORD wVersionRequested, LPWSADATA lpWSAData);
QBPLATFORM_API int WSACleanup(void);
QBPLATFORM_API int WSAGetLastError(void);
QBPLATFORM_API void WSASetLastError(int iError);

}  // extern "C"

#endif  // QBSOCKS_PLATFORM_WIN32_POSIX_H
