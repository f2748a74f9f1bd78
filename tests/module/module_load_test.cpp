// libQBSocks32.so loaded as a host loads it, through AfxLoadLibrary: where
// and how often it is listed with the class library, what InitSocksDLL
// adds, what unloading leaves behind, and the loads that must fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>

#include "qbsocks.h"
#endif

#include "afxdll.h"
#include "afx/afxdll_testing.h"
#include "support/test_platform.h"

namespace {

const char kModulePath[] = QBSOCKS32_MODULE_PATH;

// How often the module is listed in the state (the calling thread's
// current one when null).
long TimesListed(HINSTANCE module, AFX_MODULE_STATE* state = nullptr) {
  std::vector<HMODULE> modules(AfxGetDynLinkModules(nullptr, 0, state));
  AfxGetDynLinkModules(modules.data(), static_cast<UINT>(modules.size()), state);
  return std::count(modules.begin(), modules.end(), module);
}

UINT RecordsListed(AFX_MODULE_STATE* state = nullptr) { return AfxGetDynLinkModules(nullptr, 0, state); }

bool ModuleIsMapped() { return qbtest::ModuleIsMapped(kModulePath); }

// InitSocksDLL, found by name in the loaded module as a host finds it.
void CallInitSocksDLL() {
  ASSERT_TRUE(ModuleIsMapped()) << "the module is not loaded";
  void* symbol = qbtest::ExportOfLoadedModule(kModulePath, "InitSocksDLL");
  ASSERT_NE(symbol, nullptr);
  reinterpret_cast<void (*)()>(symbol)();
}

class ModuleLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(ModuleIsMapped()) << "an earlier test left the module loaded";
    ASSERT_EQ(RecordsListed(AfxGetAppModuleState()), 0u);
  }
  void TearDown() override {
    QbFailExtensionModuleInitForTesting(FALSE);
    QbFailDynLinkLibraryAllocationForTesting(FALSE);
    EXPECT_FALSE(ModuleIsMapped());
    EXPECT_EQ(RecordsListed(AfxGetAppModuleState()), 0u);
  }
};

TEST_F(ModuleLoadTest, ListedOnceAtLoadOnceMoreForEachInitSocksDLLAndNoMoreAfterFree) {
  HINSTANCE module = AfxLoadLibrary(kModulePath);
  ASSERT_NE(module, nullptr) << GetLastError();

  // The handle is the module's own instance handle: its mapping address.
  void* symbol = qbtest::ExportOfLoadedModule(kModulePath, "InitSocksDLL");
  ASSERT_NE(symbol, nullptr);
  EXPECT_EQ(static_cast<void*>(module), qbtest::ModuleBaseOf(symbol));

  EXPECT_EQ(TimesListed(module), 1);
  for (long calls = 1; calls <= 3; ++calls) {
    CallInitSocksDLL();
    EXPECT_EQ(TimesListed(module), 1 + calls);
  }
  EXPECT_EQ(RecordsListed(), 4u);  // nothing but the module's own records

  EXPECT_TRUE(AfxFreeLibrary(module));
  EXPECT_EQ(TimesListed(module), 0);
}

TEST_F(ModuleLoadTest, InitSocksDLLListsTheModuleInTheCallersCurrentState) {
  AFX_MODULE_STATE moduleState(TRUE);
  HINSTANCE module = AfxLoadLibrary(kModulePath);
  ASSERT_NE(module, nullptr);
  {
    AFX_MANAGE_STATE(&moduleState);
    CallInitSocksDLL();
    CallInitSocksDLL();
  }
  EXPECT_EQ(TimesListed(module, AfxGetAppModuleState()), 1);
  EXPECT_EQ(TimesListed(module, &moduleState), 2);

  // Unloading from the host's state removes the records of both states.
  EXPECT_TRUE(AfxFreeLibrary(module));
  EXPECT_EQ(RecordsListed(&moduleState), 0u);
}

TEST_F(ModuleLoadTest, LoadingListsTheModuleInTheLoadingThreadsState) {
  AFX_MODULE_STATE moduleState(TRUE);
  HINSTANCE module = nullptr;
  {
    AFX_MANAGE_STATE(&moduleState);
    module = AfxLoadLibrary(kModulePath);
  }
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(TimesListed(module, &moduleState), 1);
  EXPECT_EQ(TimesListed(module, AfxGetAppModuleState()), 0);
  EXPECT_TRUE(AfxFreeLibrary(module));
  EXPECT_EQ(RecordsListed(&moduleState), 0u);
}

TEST_F(ModuleLoadTest, EveryLoadAfterAFreeAttachesAfresh) {
  for (int cycle = 0; cycle < 100; ++cycle) {
    HINSTANCE module = AfxLoadLibrary(kModulePath);
    ASSERT_NE(module, nullptr) << "cycle " << cycle;
    ASSERT_EQ(TimesListed(module), 1) << "cycle " << cycle;
    CallInitSocksDLL();
    ASSERT_EQ(TimesListed(module), 2) << "cycle " << cycle;
    ASSERT_TRUE(AfxFreeLibrary(module)) << "cycle " << cycle;
    ASSERT_FALSE(ModuleIsMapped()) << "cycle " << cycle;
    ASSERT_EQ(RecordsListed(), 0u) << "cycle " << cycle;
  }
}

TEST_F(ModuleLoadTest, LoadsAreCountedAndTheLastFreeUnloads) {
  HINSTANCE first = AfxLoadLibrary(kModulePath);
  HINSTANCE second = AfxLoadLibrary(kModulePath);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(second, first);
  EXPECT_EQ(TimesListed(first), 1);  // attached once

  EXPECT_TRUE(AfxFreeLibrary(first));
  EXPECT_TRUE(ModuleIsMapped());
  EXPECT_EQ(TimesListed(first), 1);
  EXPECT_TRUE(AfxFreeLibrary(first));
  EXPECT_FALSE(ModuleIsMapped());

  SetLastError(0);
  EXPECT_FALSE(AfxFreeLibrary(first));  // freed as often as it was loaded
  EXPECT_EQ(GetLastError(), qbtest::kUnloadedModuleError);
}

TEST_F(ModuleLoadTest, AFailedInitialisationFailsTheLoadAndListsNothing) {
  QbFailExtensionModuleInitForTesting(TRUE);
  SetLastError(0);
  EXPECT_EQ(AfxLoadLibrary(kModulePath), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DLL_INIT_FAILED));
  EXPECT_FALSE(ModuleIsMapped());
  EXPECT_EQ(RecordsListed(), 0u);

  // Closed for good: the next load attaches again, and succeeds.
  QbFailExtensionModuleInitForTesting(FALSE);
  HINSTANCE module = AfxLoadLibrary(kModulePath);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(TimesListed(module), 1);
  EXPECT_TRUE(AfxFreeLibrary(module));
}

TEST_F(ModuleLoadTest, WithoutHeapForTheRecordTheModuleLoadsUnlisted) {
  QbFailDynLinkLibraryAllocationForTesting(TRUE);
  HINSTANCE module = AfxLoadLibrary(kModulePath);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(RecordsListed(), 0u);
  CallInitSocksDLL();
  EXPECT_EQ(RecordsListed(), 0u);

  QbFailDynLinkLibraryAllocationForTesting(FALSE);
  CallInitSocksDLL();
  EXPECT_EQ(TimesListed(module), 1);
  EXPECT_TRUE(AfxFreeLibrary(module));
}

TEST_F(ModuleLoadTest, LoaderFailuresSayWhy) {
  struct Case {
    const char* name;
    DWORD error;
  };
  const Case cases[] = {
      {qbtest::kOnWindows ? "nonexistent\\QBSocks32.dll" : "/nonexistent/libQBSocks32.so",
       static_cast<DWORD>(ERROR_MOD_NOT_FOUND)},
      {"", static_cast<DWORD>(ERROR_INVALID_PARAMETER)},
      {nullptr, static_cast<DWORD>(ERROR_INVALID_PARAMETER)},
  };
  for (const Case& c : cases) {
    SetLastError(0);
    EXPECT_EQ(AfxLoadLibrary(c.name), nullptr) << (c.name ? c.name : "(null)");
    EXPECT_EQ(GetLastError(), c.error) << (c.name ? c.name : "(null)");
  }
  // Windows' own FreeLibrary decides what a handle that is no module's gives.
  if (qbtest::kOnWindows) return;
  SetLastError(0);
  int notAModule = 0;
  EXPECT_FALSE(AfxFreeLibrary(reinterpret_cast<HINSTANCE>(&notAModule)));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

// Hosts may load, list and free from several threads at once, some of
// them in states of their own; when all is freed nothing is left.
TEST_F(ModuleLoadTest, ThreadsLoadListAndFreeConcurrently) {
  constexpr int kThreads = 4;
  constexpr int kCycles = 25;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&failures, t] {
      AFX_MODULE_STATE ownState(TRUE);
      if (t % 2 == 1) AfxSetModuleState(&ownState);
      for (int cycle = 0; cycle < kCycles; ++cycle) {
        HINSTANCE module = AfxLoadLibrary(kModulePath);
        if (module == nullptr) {
          ++failures;
          continue;
        }
        CallInitSocksDLL();
        if (TimesListed(module) < 1) ++failures;
        if (!AfxFreeLibrary(module)) ++failures;
      }
      AfxSetModuleState(nullptr);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

#ifndef _WIN32
// The C interface carries the settings store inside it: loaded and unloaded
// again and again (by a plug-in host), it leaves no heap block behind.
TEST(CInterfaceLoad, EveryUnloadGivesBackWhatItsLoadTook) {
  size_t before = 0;
  for (int cycle = 0; cycle < 100; ++cycle) {
    void* library = dlopen(QBSOCKS_C_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    ASSERT_EQ(dlclose(library), 0);
    if (cycle == 9) before = mallinfo2().uordblks;  // the process's own first allocations done
  }
  EXPECT_EQ(mallinfo2().uordblks, before);
}

int ThreadsOfProcess() {
  int count = 0;
  DIR* tasks = opendir("/proc/self/task");
  while (tasks != nullptr && readdir(tasks) != nullptr) ++count;
  if (tasks != nullptr) closedir(tasks);
  return count;
}

// A plug-in host unloads the C interface as soon as its last callback has
// returned, while the library's thread still idles in its code, and goes on.
TEST(CInterfaceLoad, UnloadedRightAfterTheLastCallbackTheHostGoesOn) {
  const int threadsBefore = ThreadsOfProcess();
  void* library = dlopen(QBSOCKS_C_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto connectAsync = reinterpret_cast<decltype(&qbsocks_connect_async)>(dlsym(library, "qbsocks_connect_async"));
  ASSERT_NE(connectAsync, nullptr);
  std::promise<void> calledBack;
  qbsocks_connect_options bounded = {sizeof(bounded), 5000, nullptr};  // whatever port 1 does
  ASSERT_EQ(connectAsync(
                "127.0.0.1", 1, &bounded,
                [](void* context, int, uintptr_t, const qbsocks_outcome*) {
                  static_cast<std::promise<void>*>(context)->set_value();
                },
                &calledBack),
            QBSOCKS_OK);
  ASSERT_EQ(calledBack.get_future().wait_for(std::chrono::seconds(30)), std::future_status::ready);
  ASSERT_EQ(dlclose(library), 0);
  // The library's thread ends by itself a moment later.
  for (auto start = std::chrono::steady_clock::now();
       ThreadsOfProcess() > threadsBefore && std::chrono::steady_clock::now() - start < std::chrono::seconds(30);)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(ThreadsOfProcess(), threadsBefore);
}
#endif

}  // namespace
