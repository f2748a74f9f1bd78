// A host's source, compiled once for each order in which a host may include
// the Windows headers and QBSocks32.h (QBSOCKS_INCLUDE_ORDER 1 to 4), with
// warnings as errors: the build fails where an order does not work.
#if QBSOCKS_INCLUDE_ORDER == 1
#include <windows.h>  // first, as a Visual Studio project's precompiled header has it
#elif QBSOCKS_INCLUDE_ORDER == 2
#include <winsock2.h>
#include <windows.h>
#elif QBSOCKS_INCLUDE_ORDER == 3
#define WIN32_LEAN_AND_MEAN  // <windows.h> without Winsock
#include <windows.h>
#endif  // 4: QBSocks32.h alone
#include "QBSocks32.h"

// What a host does with it: a CSocks and the socket types.
int UseAfterIncludeOrder() {
  CSocks socks;
  SOCKADDR_IN address;
  int nLength = sizeof(address);
  return socks.Create() && socks.GetSockName(reinterpret_cast<SOCKADDR*>(&address), &nLength) &&
         socks.Connect("127.0.0.1", ntohs(address.sin_port));
}
