// The library's reporting hook: it shows nothing, logs nothing and keeps
// nothing. Alone in its file so that test builds can link a recording one.
#include "CSocks.h"

int CSocks::MyMessageBox(const char* /*lpszText*/) { return 1; }
