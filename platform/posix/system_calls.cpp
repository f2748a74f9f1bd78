// The table of system calls, filled with the system's own functions. It is
// constant-initialised, so it is ready before any constructor runs.
#include "system_calls.h"

#include <fcntl.h>

namespace native {

// open and fcntl take variable arguments; the table's entries do not.
int open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int fcntl(int fd, int command, int argument) { return ::fcntl(fd, command, argument); }

#define QB_USE_SYSTEMS_OWN(name, result, parameters, arguments) using ::name;
QB_SYSTEM_CALLS(QB_USE_SYSTEMS_OWN)
#undef QB_USE_SYSTEMS_OWN

}  // namespace native

namespace qbplatform {

#define QB_NATIVE_ENTRY(name, result, parameters, arguments) {static_cast<result(*) parameters>(&native::name)},
SystemCallTable g_systemCalls = {QB_SYSTEM_CALLS(QB_NATIVE_ENTRY){}};
#undef QB_NATIVE_ENTRY

}  // namespace qbplatform
