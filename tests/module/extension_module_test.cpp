// The class library's extension-module records on their own, with made-up
// module handles: which records termination deletes, in which state a
// record is listed, and what the current state is on each thread.
#include <gtest/gtest.h>

#include <cstdint>
#include <thread>
#include <vector>

#include "afxdll.h"

namespace {

HMODULE FakeModule(uintptr_t n) { return reinterpret_cast<HMODULE>(n * 0x10000); }

std::vector<HMODULE> ListedIn(AFX_MODULE_STATE* state) {
  std::vector<HMODULE> modules(AfxGetDynLinkModules(nullptr, 0, state));
  const UINT count = AfxGetDynLinkModules(modules.data(), static_cast<UINT>(modules.size()), state);
  EXPECT_EQ(count, modules.size());
  return modules;
}

AFX_EXTENSION_MODULE InitializedModule(HMODULE module) {
  AFX_EXTENSION_MODULE record = {};
  EXPECT_TRUE(AfxInitExtensionModule(record, module));
  return record;
}

class ExtensionModuleTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(ListedIn(AfxGetAppModuleState()).empty()); }
  void TearDown() override { EXPECT_TRUE(ListedIn(AfxGetAppModuleState()).empty()); }
};

TEST_F(ExtensionModuleTest, InitFillsTheRecordOnceAndRefusesANullModule) {
  AFX_EXTENSION_MODULE record = {};
  SetLastError(0);
  EXPECT_FALSE(AfxInitExtensionModule(record, nullptr));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(record.bInitialized);

  ASSERT_TRUE(AfxInitExtensionModule(record, FakeModule(1)));
  EXPECT_TRUE(record.bInitialized);
  EXPECT_EQ(record.hModule, FakeModule(1));
  EXPECT_EQ(record.hResource, FakeModule(1));
  EXPECT_TRUE(AfxInitExtensionModule(record, FakeModule(2)));  // again: unchanged
  EXPECT_EQ(record.hModule, FakeModule(1));
}

TEST_F(ExtensionModuleTest, RecordsAreListedNewestFirstAndTermDeletesOnlyItsModules) {
  AFX_EXTENSION_MODULE first = InitializedModule(FakeModule(1));
  AFX_EXTENSION_MODULE second = InitializedModule(FakeModule(2));
  new CDynLinkLibrary(first);
  new CDynLinkLibrary(second);
  new CDynLinkLibrary(first, TRUE);
  EXPECT_EQ(ListedIn(nullptr), (std::vector<HMODULE>{FakeModule(1), FakeModule(2), FakeModule(1)}));

  AfxTermExtensionModule(first);
  EXPECT_EQ(ListedIn(nullptr), std::vector<HMODULE>{FakeModule(2)});
  AfxTermExtensionModule(second);
  EXPECT_TRUE(ListedIn(nullptr).empty());
}

TEST_F(ExtensionModuleTest, TermOfAnUninitialisedRecordLeavesEveryRecordAlone) {
  AFX_EXTENSION_MODULE listed = InitializedModule(FakeModule(3));
  new CDynLinkLibrary(listed);
  AFX_EXTENSION_MODULE never = {};
  never.hModule = FakeModule(3);  // same handle, but never initialised
  AfxTermExtensionModule(never, TRUE);
  EXPECT_EQ(ListedIn(nullptr), std::vector<HMODULE>{FakeModule(3)});
  AfxTermExtensionModule(listed);
}

TEST_F(ExtensionModuleTest, TermFindsTheModuleInEveryStateAndAllClearsOnlyTheCurrentOne) {
  AFX_EXTENSION_MODULE mine = InitializedModule(FakeModule(4));
  AFX_EXTENSION_MODULE other = InitializedModule(FakeModule(5));
  AFX_MODULE_STATE moduleState(TRUE);
  new CDynLinkLibrary(mine);
  new CDynLinkLibrary(other);
  {
    AFX_MANAGE_STATE(&moduleState);
    new CDynLinkLibrary(mine);
    new CDynLinkLibrary(other);
  }
  EXPECT_EQ(ListedIn(&moduleState), (std::vector<HMODULE>{FakeModule(5), FakeModule(4)}));
  EXPECT_EQ(ListedIn(nullptr), (std::vector<HMODULE>{FakeModule(5), FakeModule(4)}));

  AfxTermExtensionModule(mine);  // from the host's state: both states lose module 4
  EXPECT_EQ(ListedIn(&moduleState), std::vector<HMODULE>{FakeModule(5)});
  EXPECT_EQ(ListedIn(nullptr), std::vector<HMODULE>{FakeModule(5)});

  {
    AFX_MANAGE_STATE(&moduleState);
    AfxTermExtensionModule(mine, TRUE);  // everything of the current state
  }
  EXPECT_TRUE(ListedIn(&moduleState).empty());
  EXPECT_EQ(ListedIn(nullptr), std::vector<HMODULE>{FakeModule(5)});
  AfxTermExtensionModule(other);
}

TEST_F(ExtensionModuleTest, AStateDeletesTheRecordsStillListedInItWhenItGoes) {
  AFX_EXTENSION_MODULE record = InitializedModule(FakeModule(6));
  new CDynLinkLibrary(record);
  {
    AFX_MODULE_STATE shortLived(TRUE);
    AFX_MANAGE_STATE(&shortLived);
    new CDynLinkLibrary(record);
    new CDynLinkLibrary(record);
    EXPECT_EQ(ListedIn(nullptr).size(), 2u);
  }  // the leak checker of the sanitizer build sees whether they were freed
  EXPECT_EQ(ListedIn(nullptr), std::vector<HMODULE>{FakeModule(6)});
  AfxTermExtensionModule(record);
}

TEST_F(ExtensionModuleTest, TheCurrentStateBelongsToTheThread) {
  AFX_MODULE_STATE switched(TRUE);
  EXPECT_EQ(AfxGetModuleState(), AfxGetAppModuleState());
  EXPECT_EQ(AfxSetModuleState(&switched), AfxGetAppModuleState());
  EXPECT_EQ(AfxGetModuleState(), &switched);

  AFX_MODULE_STATE* seenByAnotherThread = nullptr;
  std::thread([&] { seenByAnotherThread = AfxGetModuleState(); }).join();
  EXPECT_EQ(seenByAnotherThread, AfxGetAppModuleState());

  EXPECT_EQ(AfxSetModuleState(nullptr), &switched);  // NULL: back to the host's own
  EXPECT_EQ(AfxGetModuleState(), AfxGetAppModuleState());
}

}  // namespace
