// The device key across processes: a key created by one start is opened,
// not created again, by the next; and without the stand-in (Wine's own key
// storage providers, chosen with WINEDLLOVERRIDES=ncrypt=b although the
// stand-in lies in the prefix's system directory) no key can be had and the
// guard's start-up says so. Wine's loader takes the overrides of a started
// program from the Unix environment, never from the Windows environment its
// parent gives it, so the cases without the stand-in run as a test program
// of their own (CTest: guard_e2e_wines_own_ncrypt).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "directory_tree.h"
#include "process_runner.h"
#include "sample_client_copy.h"

namespace {
const char kNoDeviceKey[] = "ZarnelGuard could not create or open its protected device key.";

// Sets an environment variable for the programs this test starts, and puts
// back what was there before.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const wchar_t* name, const std::wstring& value) : name_(name) {
    wchar_t previous[1024];
    DWORD length = GetEnvironmentVariableW(name, previous, 1024);
    hadValue_ = length > 0 && length < 1024;
    if (hadValue_) previous_.assign(previous, length);
    SetEnvironmentVariableW(name, value.c_str());
  }
  ~ScopedEnvironment() { SetEnvironmentVariableW(name_, hadValue_ ? previous_.c_str() : nullptr); }

 private:
  const wchar_t* name_;
  std::wstring previous_;
  bool hadValue_ = false;
};

// A key store directory of the test's own, so that runs never share keys.
class KeyStoreDirectory {
 public:
  KeyStoreDirectory() {
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    wchar_t name[64];
    swprintf(name, 64, L"zg-e2e-ksp-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
    path_ = std::wstring(base) + name;
  }
  ~KeyStoreDirectory() { RemoveDirectoryTree(path_); }
  const std::wstring& Path() const { return path_; }

 private:
  std::wstring path_;
};

std::map<std::string, std::string> RunProbe(const std::wstring& directory) {
  ProcessResult run = RunProcess(directory + L"device_key_probe.exe", L"", directory);
  EXPECT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  return ParseKeyValues(run.output);
}

struct StoreCase {
  const char* name;
  const wchar_t* platform;
  const char* kind;
};

class DeviceKeyAcrossProcesses : public testing::TestWithParam<StoreCase> {};

TEST_P(DeviceKeyAcrossProcesses, TheFirstStartCreatesTheKeyAndTheNextOpensTheSameOne) {
  KeyStoreDirectory store;
  ScopedEnvironment settings(L"ZARNELGUARD_STANDIN_KSP",
                             L"store=" + store.Path() + L";platform=" + GetParam().platform);
  auto first = RunProbe(ProgramDirectory());
  ASSERT_EQ(first["standin"], "1") << "the stand-in ncrypt.dll must lie in the prefix's system directory";
  EXPECT_EQ(first["acquired"], "1");
  EXPECT_EQ(first["kind"], GetParam().kind);
  EXPECT_EQ(first["created_keys"], "1");
  EXPECT_EQ(first["signature_valid"], "1");
  EXPECT_EQ(first["open_objects_after_release"], "0");
  EXPECT_EQ(first["public_key"].size(), 144u);

  auto second = RunProbe(ProgramDirectory());
  EXPECT_EQ(second["acquired"], "1");
  EXPECT_EQ(second["kind"], GetParam().kind);
  EXPECT_EQ(second["created_keys"], "0") << "the second start created a key instead of opening it";
  EXPECT_EQ(second["public_key"], first["public_key"]);
  EXPECT_EQ(second["signature_valid"], "1");
  EXPECT_EQ(second["open_objects_after_release"], "0");
}

INSTANTIATE_TEST_SUITE_P(Providers, DeviceKeyAcrossProcesses,
                         testing::Values(StoreCase{"platform", L"normal", "1"},
                                         StoreCase{"software", L"unavailable", "2"}),
                         [](const testing::TestParamInfo<StoreCase>& info) { return info.param.name; });

// The programs started below load Wine's builtin ncrypt, not the stand-in,
// when this program was started with ncrypt=b among Wine's overrides.
bool WinesOwnNcryptChosen() {
  wchar_t overrides[512] = {};
  DWORD length = GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 512);
  return length > 0 && length < 512 && std::wstring(overrides).find(L"ncrypt=b") != std::wstring::npos;
}
#define REQUIRE_WINES_OWN_NCRYPT()                                                         \
  if (!WinesOwnNcryptChosen())                                                             \
  GTEST_SKIP() << "needs ncrypt=b among Wine's overrides in the Unix environment (CTest: " \
                  "guard_e2e_wines_own_ncrypt)"

TEST(DeviceKeyWithoutStandIn, WinesOwnProvidersGiveNoKey) {
  REQUIRE_WINES_OWN_NCRYPT();
  ClientDirectory directory({L"device_key_probe.exe"});
  auto values = RunProbe(directory.Path());
  EXPECT_EQ(values["standin"], "0") << "Wine's own ncrypt was expected";
  EXPECT_EQ(values["acquired"], "0");
  EXPECT_EQ(values.count("kind"), 0u);
}

TEST(DeviceKeyWithoutStandIn, TheStartUpFailsWithItsMessageAndFailsAlikeWhenTriedAgain) {
  if (!HaveSampleClient()) GTEST_SKIP() << "built for a studio's client: no sample client to start in";
  REQUIRE_WINES_OWN_NCRYPT();
  SampleClientCopy client({L"lifecycle_host.exe"});
  ASSERT_TRUE(client.Complete());
  ProcessResult run = RunProcess(client.Path() + L"lifecycle_host.exe", L"start-twice", client.Path());
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  auto values = ParseKeyValues(run.output);
  EXPECT_EQ(values["initialize_first"], "0");
  EXPECT_EQ(values["text_first"], kNoDeviceKey);
  // The failed start undid its steps (files, single-client marker), so the
  // retry runs the whole sequence and fails at the same step again.
  EXPECT_EQ(values["initialize_second"], "0");
  EXPECT_EQ(values["text_second"], kNoDeviceKey);
}
}  // namespace
