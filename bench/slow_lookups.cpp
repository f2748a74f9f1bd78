// A stand-in resolver for the bench, loaded with LD_PRELOAD: getaddrinfo of
// one test name waits as a lookup across a network would, then answers with
// a fixed address; every other name goes to the system's getaddrinfo. It
// counts the lookups of its name, so that a run can say how many it made.
//
//   QBSOCKS_BENCH_LOOKUP_NAME        the name it answers (proxy.qbsocks.test)
//   QBSOCKS_BENCH_LOOKUP_ANSWER      the address it gives (127.0.0.1)
//   QBSOCKS_BENCH_LOOKUP_MS          how long each lookup takes (50)
//   QBSOCKS_BENCH_LOOKUP_COUNT_FILE  where the count goes at exit; without
//                                    it, a count above 0 goes to stderr
//
// A program that has it loaded reads the count so far through
// qbsocks_bench_lookups_made (dlsym(RTLD_DEFAULT, ...)).
#include <dlfcn.h>
#include <netdb.h>
#include <strings.h>
#include <time.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using GetAddrInfo = int (*)(const char*, const char*, const addrinfo*, addrinfo**);

std::atomic<unsigned long> lookups_made{0};

const char* Setting(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? value : fallback;
}

GetAddrInfo SystemGetAddrInfo() {
  // dlsym is safe to race: every thread finds the same function.
  static std::atomic<GetAddrInfo> system{nullptr};
  GetAddrInfo found = system.load(std::memory_order_acquire);
  if (found == nullptr) {
    found = reinterpret_cast<GetAddrInfo>(dlsym(RTLD_NEXT, "getaddrinfo"));
    system.store(found, std::memory_order_release);
  }
  return found;
}

// The test name, with or without the root's dot, in any case.
bool IsTestName(const char* node) {
  if (node == nullptr) return false;
  const char* name = Setting("QBSOCKS_BENCH_LOOKUP_NAME", "proxy.qbsocks.test");
  const size_t length = std::strlen(name);
  return strncasecmp(node, name, length) == 0 && (node[length] == '\0' || std::strcmp(node + length, ".") == 0);
}

void WaitAsTheNetworkWould() {
  const long ms = std::strtol(Setting("QBSOCKS_BENCH_LOOKUP_MS", "50"), nullptr, 10);
  timespec left{ms / 1000, (ms % 1000) * 1000000};
  while (nanosleep(&left, &left) != 0) {
  }
}

// The count at exit, for programs that cannot ask (a Python child).
struct CountAtExit {
  ~CountAtExit() {
    const unsigned long made = lookups_made.load();
    if (const char* path = std::getenv("QBSOCKS_BENCH_LOOKUP_COUNT_FILE")) {
      if (FILE* out = std::fopen(path, "w")) {
        std::fprintf(out, "%lu\n", made);
        std::fclose(out);
      }
    } else if (made > 0) {
      std::fprintf(stderr, "slow lookups: %lu of %s\n", made,
                   Setting("QBSOCKS_BENCH_LOOKUP_NAME", "proxy.qbsocks.test"));
    }
  }
} count_at_exit;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) unsigned long qbsocks_bench_lookups_made() { return lookups_made.load(); }

// The answer is the system's own for the address as a number, so that
// freeaddrinfo frees it as it frees any other.
__attribute__((visibility("default"))) int getaddrinfo(const char* node, const char* service, const addrinfo* hints,
                                                       addrinfo** results) {
  const GetAddrInfo system = SystemGetAddrInfo();
  if (system == nullptr) return EAI_SYSTEM;
  if (!IsTestName(node)) return system(node, service, hints, results);
  lookups_made.fetch_add(1);
  WaitAsTheNetworkWould();
  addrinfo numeric{};
  if (hints != nullptr) numeric = *hints;
  numeric.ai_flags |= AI_NUMERICHOST;
  return system(Setting("QBSOCKS_BENCH_LOOKUP_ANSWER", "127.0.0.1"), service, &numeric, results);
}
}
