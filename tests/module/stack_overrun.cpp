// Writes LENGTH bytes into a 16-byte local buffer and says "returned" once
// the function that did so has returned: past the buffer, the stack
// protector the MinGW-w64 builds are made with must end the process first
// (check_stack_protector.cmake).
//   stack_overrun LENGTH
#include <cstdio>
#include <cstdlib>

namespace {

// The writes go through a pointer the compiler cannot see through, so that
// it neither drops them nor checks them itself (_FORTIFY_SOURCE) nor
// reasons about their bounds: only the protector's canary can catch them.
__attribute__((noinline)) int fill(unsigned long length) {
  char buffer[16] = {};
  char* volatile target = buffer;
  for (unsigned long i = 0; i < length; ++i) target[i] = 'x';
  return buffer[0];
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned long length = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 0;
  const int first = fill(length);
  std::printf("returned %d\n", first);
  return 0;
}
