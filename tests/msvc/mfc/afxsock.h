// The MFC application's own afxsock.h, found as MFC's is in a Visual Studio
// project: through the compiler's system include path, after the project's
// additional include folders.
#pragma once
#include <winsock2.h>
#include <windows.h>
#define MFC_HOST_OWN_AFXSOCK_H
