// The shipped DLL as a host sees it: its export table, its imports, and the
// lifecycle exports in a fresh process.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <set>
#include <string>

#include "process_runner.h"
#include "sample_client_copy.h"

namespace {
const std::set<std::string> kExpectedExports = {
    "ZarnelGuardInitialize",
    "ZarnelGuardShutdown",
    "ZarnelGuardGetLastError",
    "ZarnelGuardGetClientBuild",
    "ZarnelGuardCreateLoginProof",
    "ZarnelGuardSetHardCheatChallenge",
    "ZarnelGuardTakeHardCheatReport",
    "ZarnelGuardAcknowledgeHardCheatReport",
    "ZarnelGuardClearHardCheatChallenge",
};

// The shipped DLL is 32-bit; the 64-bit check build's is what it says.
#ifdef _WIN64
constexpr WORD kGuardMachine = IMAGE_FILE_MACHINE_AMD64;
#else
constexpr WORD kGuardMachine = IMAGE_FILE_MACHINE_I386;
#endif

// Reads the loaded image's own tables: what the loader actually sees.
struct LoadedImage {
  HMODULE module = LoadLibraryW((ProgramDirectory() + L"ZarnelGuard.dll").c_str());
  ~LoadedImage() {
    if (module) FreeLibrary(module);
  }
  const BYTE* Base() const { return reinterpret_cast<const BYTE*>(module); }
  const IMAGE_NT_HEADERS* Headers() const {
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(Base());
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(Base() + dos->e_lfanew);
  }
  const IMAGE_DATA_DIRECTORY& Directory(int index) const { return Headers()->OptionalHeader.DataDirectory[index]; }
};

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(tolower(c)); });
  return text;
}
}  // namespace

TEST(DllInterface, IsA32BitImageExportingExactlyTheUndecoratedNames) {
  LoadedImage image;
  ASSERT_NE(image.module, nullptr) << GetLastError();
  EXPECT_EQ(image.Headers()->FileHeader.Machine, kGuardMachine);
  EXPECT_TRUE(image.Headers()->FileHeader.Characteristics & IMAGE_FILE_DLL);

  const IMAGE_DATA_DIRECTORY& dir = image.Directory(IMAGE_DIRECTORY_ENTRY_EXPORT);
  ASSERT_NE(dir.VirtualAddress, 0u);
  auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(image.Base() + dir.VirtualAddress);
  auto names = reinterpret_cast<const DWORD*>(image.Base() + exports->AddressOfNames);
  std::set<std::string> found;
  for (DWORD i = 0; i < exports->NumberOfNames; ++i) found.insert(reinterpret_cast<const char*>(image.Base() + names[i]));
  EXPECT_EQ(found, kExpectedExports);
  // lld numbers the address table from ordinal 0 and leaves that slot
  // empty; an empty slot exports nothing.
  auto addresses = reinterpret_cast<const DWORD*>(image.Base() + exports->AddressOfFunctions);
  const size_t exported =
      std::count_if(addresses, addresses + exports->NumberOfFunctions, [](DWORD rva) { return rva != 0; });
  EXPECT_EQ(exported, kExpectedExports.size()) << "no export by ordinal only";
  for (const std::string& name : kExpectedExports)
    EXPECT_NE(GetProcAddress(image.module, name.c_str()), nullptr) << name;
}

// ncrypt.dll and bcrypt.dll are not among them: neither is a Known DLL, so
// an import of either would be satisfied by a file of that name beside the
// client before the guard ran. The guard loads both from the system
// directory itself.
TEST(DllInterface, ImportsOnlyWindowsSystemLibraries) {
  const std::set<std::string> allowed = {"kernel32.dll", "advapi32.dll", "ntdll.dll", "msvcrt.dll", "user32.dll"};
  LoadedImage image;
  ASSERT_NE(image.module, nullptr);
  const IMAGE_DATA_DIRECTORY& dir = image.Directory(IMAGE_DIRECTORY_ENTRY_IMPORT);
  ASSERT_NE(dir.VirtualAddress, 0u);
  std::set<std::string> imported;
  for (auto d = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(image.Base() + dir.VirtualAddress); d->Name; ++d)
    imported.insert(Lower(reinterpret_cast<const char*>(image.Base() + d->Name)));
  EXPECT_TRUE(imported.count("kernel32.dll"));
  for (const std::string& name : imported) {
    EXPECT_TRUE(allowed.count(name) || name.rfind("api-ms-win-crt-", 0) == 0) << "unexpected import " << name;
    EXPECT_EQ(name.find("libgcc"), std::string::npos);
    EXPECT_EQ(name.find("libstdc++"), std::string::npos);
    EXPECT_EQ(name.find("libwinpthread"), std::string::npos);
  }
}

TEST(DllInterface, LifecycleInAFreshHostProcess) {
  // The guard starts only beside the client files that it was built for.
  if (!HaveSampleClient()) GTEST_SKIP() << "built for a studio's client: no sample client to start in";
  SampleClientCopy client({L"lifecycle_host.exe"});
  ASSERT_TRUE(client.Complete());
  ProcessResult run = RunProcess(client.Path() + L"lifecycle_host.exe", L"sequence", client.Path());
  ASSERT_TRUE(run.finished);
  ASSERT_EQ(run.exitCode, 0u) << run.output;
  auto values = ParseKeyValues(run.output);
  EXPECT_EQ(values["initial_text"], "ZarnelGuard initialization failed.");
  EXPECT_EQ(values["build_before"], "62");
  EXPECT_EQ(values["shutdown_before_start"], "returned");
  EXPECT_EQ(values["initialize_first"], "1");
  EXPECT_EQ(values["text_after_start"], "ZarnelGuard initialization failed.") << "a success leaves the text alone";
  EXPECT_EQ(values["build_running"], "62");
  EXPECT_EQ(values["initialize_after_shutdown"], "1") << "a successful start never runs again";
  EXPECT_EQ(values["build_after"], "62");
}
