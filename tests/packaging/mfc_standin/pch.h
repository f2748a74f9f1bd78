// Stand-in for the pch.h of a new Visual Studio MFC project (see afxwin.h
// beside it), whose framework.h includes MFC's headers, afxsock.h with the
// wizard's "Windows sockets".
#pragma once
#include <afxwin.h>
#include <afxsock.h>
