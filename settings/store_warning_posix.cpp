// The settings file's warning after a write (proxy_url.h), as qbsocks-reg
// gives it: the store's own text (reg_store.h).
#include "settings/proxy_url.h"
#include "settings/reg_store.h"

#include <cstring>

namespace qbsettings {

void DescribeStoreWarning(char* lpszOut, size_t cbOut) {
  if (cbOut == 0) return;
  const std::optional<std::string> warning = qbhive::OpenToOthersWarning(qbhive::HivePath());
  const size_t n = warning ? std::min(warning->size(), cbOut - 1) : 0;
  if (n != 0) std::memcpy(lpszOut, warning->data(), n);
  lpszOut[n] = '\0';
}

}  // namespace qbsettings
