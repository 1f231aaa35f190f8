// The two manifest groups held open as a whole or not at all, checked
// against a copy of the sample client that the build hashed into the guard,
// and the release of the held lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "integrity/held_client_files.h"
#include "integrity/manifest_verification.h"
#include "test_support.h"

namespace {
const wchar_t kUntouchedText[] = L"ZarnelGuard initialization failed.";

// Everything the tests close or open through the guard, in order.
std::vector<std::wstring> events;
BOOL WINAPI RecordingCloseHandle(HANDLE handle) {
  events.push_back(L"close " + std::to_wstring(reinterpret_cast<uintptr_t>(handle)));
  return CloseHandle(handle);
}
BOOL WINAPI RecordOnlyCloseHandle(HANDLE handle) {
  events.push_back(L"close " + std::to_wstring(reinterpret_cast<uintptr_t>(handle)));
  return TRUE;
}
HANDLE WINAPI RecordingCreateFile(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                  DWORD disposition, DWORD flags, HANDLE tmpl) {
  events.push_back(L"open");
  return CreateFileW(path, access, share, security, disposition, flags, tmpl);
}
std::wstring CloseEvent(HANDLE handle) { return L"close " + std::to_wstring(reinterpret_cast<uintptr_t>(handle)); }

// The guard's module, as the call table reports it, lies in `moduleDirectory`.
std::wstring moduleDirectory;
DWORD WINAPI ModuleInClientCopy(HMODULE, LPWSTR buffer, DWORD size) {
  std::wstring path = moduleDirectory + L"ZarnelGuard.dll";
  if (path.size() >= size) return size;
  wcscpy(buffer, path.c_str());
  return static_cast<DWORD>(path.size());
}
DWORD WINAPI ModuleNameFails(HMODULE, LPWSTR, DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return 0;
}

bool CanOpenForWriting(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

template <uint32_t Capacity>
void FillWithFakeHandles(HeldFileList<Capacity>& list, const std::vector<HANDLE>& handles) {
  for (size_t i = 0; i < handles.size(); ++i) list.handles[i] = handles[i];
  list.count = static_cast<uint32_t>(handles.size());
}
}  // namespace

// ---- release: the one place where held files are closed --------------------

struct ReleaseCase {
  const char* name;
  void (*release)();
  bool core;
};
const ReleaseCase kReleaseCases[] = {
    {"core", ReleaseCoreFileHandles, true},
    {"archives", ReleaseClientArchiveHandles, false},
};

class HeldFileRelease : public testing::TestWithParam<ReleaseCase> {};

TEST_P(HeldFileRelease, ClosesInManifestOrderSkippingEmptySlotsAndEmptiesTheList) {
  const ReleaseCase& c = GetParam();
  events.clear();
  win32Calls.CloseHandle = RecordOnlyCloseHandle;
  std::vector<HANDLE> handles = {reinterpret_cast<HANDLE>(0x104), nullptr, reinterpret_cast<HANDLE>(0x108),
                                 INVALID_HANDLE_VALUE, reinterpret_cast<HANDLE>(0x10c)};
  if (c.core) FillWithFakeHandles(guard.coreFiles, handles);
  else FillWithFakeHandles(guard.archiveFiles, handles);

  c.release();
  EXPECT_EQ(events, (std::vector<std::wstring>{CloseEvent(handles[0]), CloseEvent(handles[2]),
                                               CloseEvent(handles[4])}));
  EXPECT_EQ(c.core ? guard.coreFiles.count : guard.archiveFiles.count, 0u);
  EXPECT_EQ(c.core ? guard.archiveFiles.count : guard.coreFiles.count, 0u) << "the other group is not touched";
  c.release();
  EXPECT_EQ(events.size(), 3u) << "a second release closes nothing";
}

INSTANTIATE_TEST_SUITE_P(Groups, HeldFileRelease, testing::ValuesIn(kReleaseCases),
                         [](const testing::TestParamInfo<ReleaseCase>& info) { return std::string(info.param.name); });

TEST(ManifestGroups, AnUnresolvableClientDirectoryLeavesTheHeldListsAlone) {
  events.clear();
  win32Calls.GetModuleFileNameW = ModuleNameFails;
  win32Calls.CloseHandle = RecordOnlyCloseHandle;
  std::vector<HANDLE> earlier = {reinterpret_cast<HANDLE>(0x204), reinterpret_cast<HANDLE>(0x208)};
  FillWithFakeHandles(guard.coreFiles, earlier);
  FillWithFakeHandles(guard.archiveFiles, earlier);
  for (auto verify : {VerifyCoreClientFiles, VerifyClientArchives}) {
    wcscpy(guard.lastErrorText, kUntouchedText);
    EXPECT_FALSE(verify());
    EXPECT_STREQ(guard.lastErrorText, L"ZarnelGuard could not resolve the client directory.");
  }
  EXPECT_TRUE(events.empty());
  EXPECT_EQ(guard.coreFiles.count, 2u);
  EXPECT_EQ(guard.archiveFiles.count, 2u);
  guard.coreFiles.count = guard.archiveFiles.count = 0;
}

#ifdef ZG_SAMPLE_CLIENT_DIR
namespace {
std::wstring WindowsPath(const char* text) {
  std::wstring path(text, text + strlen(text));
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

// A private copy of the sample client's 25 files, which the tests may damage;
// the guard's module is made to lie in it.
class SampleClientGroups : public testing::Test {
 protected:
  void SetUp() override {
    std::wstring source = WindowsPath(ZG_SAMPLE_CLIENT_DIR);
    for (const GuardManifestEntry& entry : kGuardManifest)
      ASSERT_TRUE(CopyFileW((source + entry.relativePath).c_str(), Path(entry).c_str(), FALSE))
          << "sample client file missing: " << testing::PrintToString(std::wstring(entry.relativePath));
    moduleDirectory = dir.Path();
    win32Calls.GetModuleFileNameW = ModuleInClientCopy;
    events.clear();
  }
  void TearDown() override {
    // The copies can only be removed once nothing holds them.
    ReleaseCoreFileHandles();
    ReleaseClientArchiveHandles();
  }
  std::wstring Path(const GuardManifestEntry& entry) const { return dir.Path() + entry.relativePath; }
  void FlipFirstByte(const GuardManifestEntry& entry) { ASSERT_TRUE(::FlipFirstByte(Path(entry))); }

  TempDirectory dir;
};
}  // namespace

TEST_F(SampleClientGroups, BothGroupsPassAndAreHeldInManifestOrder) {
  ASSERT_TRUE(VerifyCoreClientFiles()) << testing::PrintToString(std::wstring(guard.lastErrorText));
  ASSERT_EQ(guard.coreFiles.count, kCoreClientFileCount);
  EXPECT_EQ(guard.archiveFiles.count, 0u);
  ASSERT_TRUE(VerifyClientArchives()) << testing::PrintToString(std::wstring(guard.lastErrorText));
  ASSERT_EQ(guard.archiveFiles.count, kClientArchiveCount);
  EXPECT_STREQ(guard.lastErrorText, kUntouchedText);

  for (uint32_t i = 0; i < kGuardManifestEntryCount; ++i) {
    HANDLE held = i < kCoreClientFileCount ? guard.coreFiles.handles[i]
                                           : guard.archiveFiles.handles[i - kFirstClientArchiveEntry];
    // Each slot holds the file of its own row.
    wchar_t finalPath[1024] = {};
    ASSERT_NE(GetFinalPathNameByHandleW(held, finalPath, 1024, 0), 0u);
    std::wstring text = finalPath;
    std::wstring name = kGuardManifest[i].relativePath;
    EXPECT_EQ(text.substr(text.size() - name.size()), name);
    EXPECT_FALSE(CanOpenForWriting(Path(kGuardManifest[i]))) << testing::PrintToString(name);
  }
  ReleaseCoreFileHandles();
  ReleaseClientArchiveHandles();
  for (const GuardManifestEntry& entry : kGuardManifest)
    EXPECT_TRUE(CanOpenForWriting(Path(entry))) << testing::PrintToString(std::wstring(entry.relativePath));
}

TEST_F(SampleClientGroups, WhenTheFifthCoreFileFailsTheFirstFourAreFreedAtOnce) {
  FlipFirstByte(kGuardManifest[4]);
  EXPECT_FALSE(VerifyCoreClientFiles());
  EXPECT_EQ(std::wstring(guard.lastErrorText),
            std::wstring(L"A Zarnel client file failed its integrity check: ") + kGuardManifest[4].relativePath);
  EXPECT_EQ(guard.coreFiles.count, 0u);
  for (int i = 0; i < 4; ++i)
    EXPECT_TRUE(CanOpenForWriting(Path(kGuardManifest[i])))
        << testing::PrintToString(std::wstring(kGuardManifest[i].relativePath));
}

TEST_F(SampleClientGroups, AFailingArchiveFreesItsGroupAndLeavesTheCoreHeld) {
  ASSERT_TRUE(VerifyCoreClientFiles());
  const GuardManifestEntry& last = kGuardManifest[kGuardManifestEntryCount - 1];
  ASSERT_TRUE(DeleteFileW(Path(last).c_str()));
  EXPECT_FALSE(VerifyClientArchives());
  EXPECT_EQ(std::wstring(guard.lastErrorText),
            std::wstring(L"A required Zarnel client file is missing. It may have been deleted or quarantined: ") +
                last.relativePath);
  EXPECT_EQ(guard.archiveFiles.count, 0u);
  EXPECT_TRUE(CanOpenForWriting(Path(kGuardManifest[kFirstClientArchiveEntry])));
  EXPECT_EQ(guard.coreFiles.count, kCoreClientFileCount);
  EXPECT_FALSE(CanOpenForWriting(Path(kGuardManifest[0])));
}

TEST_F(SampleClientGroups, ASecondRunClosesTheFirstRunsHandlesBeforeOpeningAgain) {
  for (auto group : {0, 1}) {
    auto verify = group == 0 ? VerifyCoreClientFiles : VerifyClientArchives;
    uint32_t count = group == 0 ? kCoreClientFileCount : kClientArchiveCount;
    HANDLE* held = group == 0 ? guard.coreFiles.handles : guard.archiveFiles.handles;
    ASSERT_TRUE(verify());
    std::vector<HANDLE> first(held, held + count);

    events.clear();
    win32Calls.CloseHandle = RecordingCloseHandle;
    win32Calls.CreateFileW = RecordingCreateFile;
    ASSERT_TRUE(verify());
    RestoreWin32Calls();
    win32Calls.GetModuleFileNameW = ModuleInClientCopy;

    ASSERT_GE(events.size(), count);
    for (uint32_t i = 0; i < count; ++i) EXPECT_EQ(events[i], CloseEvent(first[i])) << i;
    EXPECT_EQ(events[count], L"open");
    EXPECT_EQ(group == 0 ? guard.coreFiles.count : guard.archiveFiles.count, count);
  }
}
#endif  // ZG_SAMPLE_CLIENT_DIR
