// Seams that tests use to make the class library's extension-module
// support fail where the real platform can fail. Not for production code.
#ifndef QBSOCKS_PLATFORM_AFXDLL_TESTING_H
#define QBSOCKS_PLATFORM_AFXDLL_TESTING_H

#include "afxdll.h"

extern "C" {
// While set, AfxInitExtensionModule fails (FALSE, ERROR_DLL_INIT_FAILED).
QBAFX_API void QbFailExtensionModuleInitForTesting(BOOL bFail);
// While set, the class library's heap is exhausted: CObject's operator new
// (CDynLinkLibrary's among them) gives NULL.
QBAFX_API void QbFailDynLinkLibraryAllocationForTesting(BOOL bFail);
}

#endif  // QBSOCKS_PLATFORM_AFXDLL_TESTING_H
