// ncrypt.dll is not a Known DLL: a file of that name beside Zarnel.exe is
// what the loader would find first for an import, and it would hold the
// device key. The guard takes it from the system directory only. The
// harness lets Wine load native libraries of that name (ncrypt=n,b), so a
// guard that searched the client directory would load the planted one here.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "process_runner.h"
#include "sample_client_copy.h"

namespace {
TEST(LibraryPlanting, ANcryptBesideTheClientIsNeverLoadedAndTheStartUpSucceeds) {
  if (!HaveSampleClient()) GTEST_SKIP() << "built for a studio's client: no sample client to start in";
  SampleClientCopy client({L"lifecycle_host.exe"});
  ASSERT_TRUE(client.Complete());
  const std::wstring planted = client.Path() + L"ncrypt.dll";
  ASSERT_TRUE(CopyFileW(ProgramFile(L"planted_library.dll").c_str(), planted.c_str(), FALSE)) << GetLastError();

  ProcessResult run = RunProcess(client.Path() + L"lifecycle_host.exe", L"start-twice", client.Path());
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  auto values = ParseKeyValues(run.output);
  // The start-up opens the device key: it succeeded through the system's
  // provider (the stand-in in the prefix's system directory).
  EXPECT_EQ(values["initialize_first"], "1") << values["text_first"];
  EXPECT_EQ(GetFileAttributesW((planted + L".loaded").c_str()), INVALID_FILE_ATTRIBUTES)
      << "the planted ncrypt.dll was loaded into the client";
}
}  // namespace
