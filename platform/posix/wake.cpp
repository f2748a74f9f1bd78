// The wake of afx/wake.h on POSIX: an eventfd.
#include "afx/wake.h"

#include "win32.h"

#include <sys/eventfd.h>
#include <unistd.h>

namespace qbafx {

namespace {
const uintptr_t kNone = ~static_cast<uintptr_t>(0);
}  // namespace

bool Wake::Open() {
  const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (fd < 0) {
    WSASetLastError(WSAENOBUFS);
    return false;
  }
  handle_ = static_cast<uintptr_t>(fd);
  return true;
}

Wake::~Wake() {
  if (handle_ != kNone) close(static_cast<int>(handle_));
}

// The counter only grows; a write that would overflow it finds it readable.
void Wake::Signal() {
  const uint64_t one = 1;
  ssize_t written = write(static_cast<int>(handle_), &one, sizeof(one));
  (void)written;
}

void Wake::Clear() {
  uint64_t count;
  ssize_t read_bytes = read(static_cast<int>(handle_), &count, sizeof(count));
  (void)read_bytes;
}

}  // namespace qbafx
