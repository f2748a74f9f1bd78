// The Win32 system services: user name, tick counter, last error, and the
// small helpers beside them.
#include "afxsock.h"
#include "win32_posix/platform_testing.h"
#include "win32.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>
#endif

namespace {

#ifndef _WIN32
std::string EffectiveUserName() {
  const passwd* entry = getpwuid(geteuid());
  return entry != nullptr ? entry->pw_name : "";
}
#endif

TEST(GetUserNameA, CopiesOnlyWhenTheNameAndItsTerminatorFit) {
  DWORD needed = 0;
  ASSERT_FALSE(GetUserNameA(nullptr, &needed));
  ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
  ASSERT_GT(needed, 1u);

  const DWORD capacities[] = {1, needed - 1, needed, needed + 8};
  for (DWORD capacity : capacities) {
    SCOPED_TRACE("capacity " + std::to_string(capacity));
    std::vector<char> buffer(capacity + 1, '#');
    DWORD size = capacity;
    SetLastError(0);
    BOOL result = GetUserNameA(buffer.data(), &size);
    EXPECT_EQ(size, needed);
    if (capacity < needed) {
      EXPECT_FALSE(result);
      EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
      EXPECT_EQ(std::string(buffer.begin(), buffer.end()), std::string(capacity + 1, '#'));
    } else {
      ASSERT_TRUE(result);
      EXPECT_EQ(std::strlen(buffer.data()) + 1, needed);
#ifndef _WIN32
      EXPECT_EQ(buffer.data(), EffectiveUserName());
#endif
    }
  }
}

TEST(GetTickCount, FollowsTheMonotonicClockInMilliseconds) {
  DWORD start = GetTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  DWORD elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 199u);
  EXPECT_LT(elapsed, 5000u);
}

#ifndef _WIN32
TEST(GetTickCount, WrapsAround) {
  struct OffsetReset {
    ~OffsetReset() { QbSetTickCountOffsetForTesting(0); }
  } reset;
  QbSetTickCountOffsetForTesting(0u - GetTickCount() - 500u);  // half a second before the wrap
  DWORD beforeWrap = GetTickCount();
  ASSERT_GT(beforeWrap, 0xffff0000u);  // a minute of room for a stalled thread
  const DWORD untilWrap = 0u - beforeWrap;

  auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(70);
  DWORD now = beforeWrap;
  while (now >= beforeWrap && std::chrono::steady_clock::now() < giveUp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    now = GetTickCount();
  }
  EXPECT_LT(now, beforeWrap);  // it wrapped
  // The unsigned difference still counts the time across the wrap.
  DWORD elapsed = now - beforeWrap;
  EXPECT_GE(elapsed, untilWrap);
  EXPECT_LT(elapsed, untilWrap + 5000u);
}
#endif

TEST(LastError, OneSlotServesBothPairs) {
  struct Pair {
    const char* name;
    void (*set)(int);
    int (*get)();
  };
  const Pair pairs[] = {
      {"SetLastError/GetLastError", [](int v) { SetLastError(static_cast<DWORD>(v)); },
       [] { return static_cast<int>(GetLastError()); }},
      {"SetLastError/WSAGetLastError", [](int v) { SetLastError(static_cast<DWORD>(v)); },
       [] { return WSAGetLastError(); }},
      {"WSASetLastError/GetLastError", [](int v) { WSASetLastError(v); },
       [] { return static_cast<int>(GetLastError()); }},
      {"WSASetLastError/WSAGetLastError", [](int v) { WSASetLastError(v); }, [] { return WSAGetLastError(); }},
  };
  int value = 10001;
  for (const Pair& pair : pairs) {
    SCOPED_TRACE(pair.name);
    pair.set(++value);
    EXPECT_EQ(pair.get(), value);
  }
}

TEST(LastError, IsKeptPerThread) {
  // The threads take turns through atomics alone: on Windows nearly every
  // system call (creating or joining a thread, writing a failure) may
  // change the calling thread's last error, so none runs between setting
  // this thread's value and reading it back.
  std::atomic<int> turn{0};
  int seenByOtherThreadFirst = -1, seenByOtherThreadLater = -1;
  std::thread other([&] {
    seenByOtherThreadFirst = WSAGetLastError();
    while (turn.load() != 1) {
    }
    WSASetLastError(WSAETIMEDOUT);
    seenByOtherThreadLater = WSAGetLastError();
    turn.store(2);
  });
  WSASetLastError(WSAECONNREFUSED);
  turn.store(1);
  while (turn.load() != 2) {
  }
  const int mine = WSAGetLastError();
  const int mineThroughTheClass = CAsyncSocket::GetLastError();
  other.join();
  EXPECT_EQ(seenByOtherThreadFirst, 0);
  EXPECT_EQ(seenByOtherThreadLater, WSAETIMEDOUT);
  EXPECT_EQ(mine, WSAECONNREFUSED);
  EXPECT_EQ(mineThroughTheClass, WSAECONNREFUSED);
}

TEST(SmallHelpers, LstrlenAcceptsNull) {
  EXPECT_EQ(lstrlenA(nullptr), 0);
  EXPECT_EQ(lstrlenA(""), 0);
  EXPECT_EQ(lstrlenA("proxy"), 5);
}

TEST(SmallHelpers, SecureZeroMemoryClearsEveryByte) {
  char secret[33];
  std::memset(secret, 0x5a, sizeof(secret));
  EXPECT_EQ(SecureZeroMemory(secret, sizeof(secret) - 1), secret);
  EXPECT_EQ(std::string(secret, sizeof(secret) - 1), std::string(sizeof(secret) - 1, '\0'));
  EXPECT_EQ(secret[sizeof(secret) - 1], 0x5a);  // not one byte further
}

TEST(SocketStartUp, GrantsTheRequestedVersionUpToTwoTwo) {
  struct Case {
    WORD requested;
    WORD granted;
  };
  const Case cases[] = {{MAKEWORD(1, 1), MAKEWORD(1, 1)},
                        {MAKEWORD(2, 0), MAKEWORD(2, 0)},
                        {MAKEWORD(2, 2), MAKEWORD(2, 2)},
                        {MAKEWORD(3, 0), MAKEWORD(2, 2)}};
  for (const Case& c : cases) {
    SCOPED_TRACE("requested " + std::to_string(c.requested));
    WSADATA data;
    std::memset(&data, 0xff, sizeof(data));
    ASSERT_EQ(WSAStartup(c.requested, &data), 0);
    EXPECT_EQ(data.wVersion, c.granted);
    EXPECT_EQ(data.wHighVersion, MAKEWORD(2, 2));
    EXPECT_LT(std::strlen(data.szDescription), sizeof(data.szDescription));
    EXPECT_LT(std::strlen(data.szSystemStatus), sizeof(data.szSystemStatus));
    EXPECT_EQ(WSACleanup(), 0);
  }

  WSADATA data;
  ASSERT_TRUE(AfxSocketInit(&data));
  EXPECT_EQ(data.wVersion, MAKEWORD(1, 1));
}

}  // namespace
