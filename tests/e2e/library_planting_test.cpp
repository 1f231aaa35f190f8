// ncrypt.dll and bcrypt.dll are not Known DLLs: a file of either name beside
// Zarnel.exe is what the loader would find first for an import, and it would
// see the device key's every signature. The guard takes both from the system
// directory, and a copy that something loaded before the guard ran is a
// module finding. The harness lets Wine load native libraries of these names
// (ncrypt=n,b and bcrypt=n,b), so a guard that searched the client directory
// would load the planted one here.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "process_runner.h"
#include "sample_client_copy.h"

namespace {
class LibraryPlanting : public testing::TestWithParam<const wchar_t*> {
 protected:
  void SetUp() override {
    if (!HaveSampleClient()) GTEST_SKIP() << "built for a studio's client: no sample client to start in";
  }
};

TEST_P(LibraryPlanting, ACopyBesideTheClientIsNeverLoadedAndTheStartUpSucceeds) {
  SampleClientCopy client({L"lifecycle_host.exe"});
  ASSERT_TRUE(client.Complete());
  const std::wstring planted = client.Path() + GetParam();
  ASSERT_TRUE(CopyFileW(ProgramFile(L"planted_library.dll").c_str(), planted.c_str(), FALSE)) << GetLastError();

  ProcessResult run = RunProcess(client.Path() + L"lifecycle_host.exe", L"start-twice", client.Path());
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  auto values = ParseKeyValues(run.output);
  // The start-up opens the device key: it succeeded through the system's
  // provider (the stand-in in the prefix's system directory).
  EXPECT_EQ(values["initialize_first"], "1") << values["text_first"];
  EXPECT_EQ(GetFileAttributesW((planted + L".loaded").c_str()), INVALID_FILE_ATTRIBUTES)
      << "the planted library was loaded into the client";
}

// The game (or an overlay, or a launcher's injected code) loaded the copy
// before the guard started: Windows would bind ncrypt.dll's imports to it.
TEST_P(LibraryPlanting, ACopyLoadedBeforeTheStartEndsTheClientWithAModuleFinding) {
  SampleClientCopy client({L"lifecycle_host.exe"});
  ASSERT_TRUE(client.Complete());
  const std::wstring planted = client.Path() + GetParam();
  ASSERT_TRUE(CopyFileW(ProgramFile(L"planted_library.dll").c_str(), planted.c_str(), FALSE)) << GetLastError();

  ProcessResult run =
      RunProcess(client.Path() + L"lifecycle_host.exe", std::wstring(L"preload ") + GetParam(), client.Path());
  ASSERT_TRUE(run.finished);
  auto values = ParseKeyValues(run.output);
  ASSERT_EQ(values["preloaded"], "1") << run.output;
  // The fatal exit's code: the first step found the copy before a client
  // file was hashed through it (the unit tests pin its code and message),
  // so the guard was not running yet and started no error helper.
  EXPECT_EQ(run.exitCode, 13u) << run.output;
  EXPECT_EQ(values.count("initialize"), 0u) << "the start-up returned: " << values["text"];
  EXPECT_TRUE(HelperRecords(client.Path()).empty());
}

INSTANTIATE_TEST_SUITE_P(SystemCryptoLibraries, LibraryPlanting, testing::Values(L"bcrypt.dll", L"ncrypt.dll"),
                         [](const testing::TestParamInfo<const wchar_t*>& info) {
                           std::wstring name = info.param;
                           return std::string(name.begin(), name.begin() + name.find(L'.'));
                         });
}  // namespace
