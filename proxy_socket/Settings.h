// What CSocks says when it cannot read the proxy settings, for the modules
// that report it on (the C interface).
#ifndef QBSOCKS_SETTINGS_H
#define QBSOCKS_SETTINGS_H

#include "win32.h"

#include <stddef.h>

// The start of the reporting hook's text when the settings exist but
// cannot be read ("Cannot read the proxy settings: access denied").
#define QBSOCKS_SETTINGS_UNREADABLE_TEXT "Cannot read the proxy settings"

// That text for a registry result, terminated within cbOut bytes.
void DescribeUnreadableSettings(LONG lError, char* lpszOut, size_t cbOut);

#endif  // QBSOCKS_SETTINGS_H
