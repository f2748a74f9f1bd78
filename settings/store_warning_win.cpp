// The registry's warning after a write (proxy_url.h): none. The user's key
// is the user's; no file of ours can be left open to others.
#include "settings/proxy_url.h"

namespace qbsettings {

void DescribeStoreWarning(char* lpszOut, size_t cbOut) {
  if (cbOut != 0) lpszOut[0] = '\0';
}

}  // namespace qbsettings
