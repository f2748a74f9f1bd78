// QBSocks32, the module: the CSocks class and InitSocksDLL.
#ifndef QBSOCKS_QBSOCKS32_H
#define QBSOCKS_QBSOCKS32_H

#include "CSocks.h"

// Lists the module with the class library once more, in the class-library
// state that is current on the calling thread (see afxdll.h). The module
// lists itself in the loading thread's state when it is loaded; a host or
// module that works in a state of its own calls this to be seen there too.
extern "C" QBSOCKS_API void InitSocksDLL(void);

#endif  // QBSOCKS_QBSOCKS32_H
