// The program scan through the system-call seam: a process list that
// cannot be read, one that keeps growing, crafted lists with the client's
// own name and with damaged entries, and the scan lock.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "checks/detection_checks.h"
#include "platform/native_system_information.h"
#include "test_support.h"

namespace {
constexpr LONG kStatusAccessDenied = static_cast<LONG>(0xC0000022);
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

struct FakeProcess {
  DWORD processId;
  std::wstring name;
};
std::vector<FakeProcess> fakeProcesses;
int queryCalls;
bool lockWasFree;
bool corruptNextOffset;
bool nameOutsideBuffer;

size_t AlignEight(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }

NTSTATUS NTAPI CraftedProcessList(SYSTEM_INFORMATION_CLASS informationClass, PVOID buffer, ULONG size,
                                  PULONG needed) {
  ++queryCalls;
  if (TryAcquireSRWLockShared(&guard.processScanLock)) {
    lockWasFree = true;
    ReleaseSRWLockShared(&guard.processScanLock);
  }
  if (static_cast<ULONG>(informationClass) != kSystemProcessInformationClass) return kStatusAccessDenied;
  size_t total = 0;
  for (const FakeProcess& p : fakeProcesses)
    total += AlignEight(sizeof(NativeProcessEntry) + (p.name.size() + 1) * sizeof(wchar_t));
  if (size < total) {
    *needed = static_cast<ULONG>(total);
    return kStatusInfoLengthMismatch;
  }
  uint8_t* base = static_cast<uint8_t*>(buffer);
  size_t offset = 0;
  for (size_t i = 0; i < fakeProcesses.size(); ++i) {
    const FakeProcess& p = fakeProcesses[i];
    size_t entrySize = AlignEight(sizeof(NativeProcessEntry) + (p.name.size() + 1) * sizeof(wchar_t));
    NativeProcessEntry entry = {};
    entry.nextEntryOffset = i + 1 < fakeProcesses.size() ? static_cast<ULONG>(entrySize) : 0;
    if (corruptNextOffset && i == 0) entry.nextEntryOffset = 0x7FFFFFF0;
    entry.uniqueProcessId = p.processId;
    wchar_t* name = reinterpret_cast<wchar_t*>(base + offset + sizeof(NativeProcessEntry));
    std::memcpy(name, p.name.c_str(), (p.name.size() + 1) * sizeof(wchar_t));
    entry.imageName.length = static_cast<USHORT>(p.name.size() * sizeof(wchar_t));
    entry.imageName.maximumLength = entry.imageName.length + 2;
    entry.imageName.buffer = nameOutsideBuffer ? p.name.c_str() : name;
    std::memcpy(base + offset, &entry, sizeof(entry));
    offset += entrySize;
  }
  *needed = static_cast<ULONG>(total);
  return 0;
}

NTSTATUS NTAPI DeniedQuery(SYSTEM_INFORMATION_CLASS, PVOID, ULONG, PULONG) {
  ++queryCalls;
  return kStatusAccessDenied;
}

// Always a little too small, however large the buffer grows.
NTSTATUS NTAPI EverGrowingQuery(SYSTEM_INFORMATION_CLASS, PVOID, ULONG size, PULONG needed) {
  ++queryCalls;
  *needed = size + 1;
  return kStatusInfoLengthMismatch;
}

// Nothing is opened: findings are judged by their listed names alone.
HANDLE WINAPI NoProcessOpens(DWORD, BOOL, DWORD) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

class ProgramScanSeam : public testing::Test {
 protected:
  void SetUp() override {
    fakeProcesses.clear();
    queryCalls = 0;
    lockWasFree = false;
    corruptNextOffset = false;
    nameOutsideBuffer = false;
    win32Calls.NtQuerySystemInformation = CraftedProcessList;
    win32Calls.OpenProcess = NoProcessOpens;
  }
  ProgramScanResult Scan(bool full) {
    // Left-overs of an earlier scan must not survive.
    finding.rule = reinterpret_cast<const BlockRule*>(1);
    finding.processId = 77;
    finding.holdsGameAccess = 1;
    finding.accessMask = 0x30;
    windowsError = 1234;
    return ScanRunningPrograms(full, finding, windowsError);
  }
  ProgramFinding finding = {};
  DWORD windowsError = 0;
};
}  // namespace

TEST_F(ProgramScanSeam, AListThatCannotBeReadIsAFailureWithItsWindowsError) {
  win32Calls.NtQuerySystemInformation = DeniedQuery;
  for (bool full : {false, true}) {
    EXPECT_EQ(Scan(full), kProgramScanFailed);
    EXPECT_EQ(windowsError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(finding.rule, nullptr);
    EXPECT_EQ(finding.processId, 0u);
    EXPECT_EQ(finding.holdsGameAccess, 0);
  }
}

TEST_F(ProgramScanSeam, AListThatNeverFitsEndsInABoundedFailure) {
  win32Calls.NtQuerySystemInformation = EverGrowingQuery;
  EXPECT_EQ(Scan(false), kProgramScanFailed);
  EXPECT_NE(windowsError, 0u);
  EXPECT_LE(queryCalls, 8);
}

TEST_F(ProgramScanSeam, GrowsTheBufferUntilTheListFitsAndHoldsTheScanLock) {
  // Enough processes to need more than the first buffer.
  for (DWORD i = 0; i < 3000; ++i) fakeProcesses.push_back({1000 + i, L"background_service_" + std::to_wstring(i) + L".exe"});
  fakeProcesses.push_back({9001, L"ArtMoney.exe"});
  EXPECT_EQ(Scan(false), kProgramScanFinding);
  EXPECT_GE(queryCalls, 2) << "the first buffer was too small";
  EXPECT_FALSE(lockWasFree) << "the scan lock is held while the list is read";
  EXPECT_EQ(windowsError, 0u);
  ASSERT_NE(finding.rule, nullptr);
  EXPECT_EQ(std::wstring(finding.rule->code), L"AC-PROC-006");
  EXPECT_EQ(finding.processId, 9001u);
  EXPECT_EQ(std::wstring(finding.imageName.CStr()), L"ArtMoney.exe");
  EXPECT_EQ(finding.holdsGameAccess, 0) << "unconfirmed access is no access";
  EXPECT_EQ(finding.accessMask, 0u);
  // The lock is free again afterwards.
  ASSERT_TRUE(TryAcquireSRWLockExclusive(&guard.processScanLock));
  ReleaseSRWLockExclusive(&guard.processScanLock);
}

TEST_F(ProgramScanSeam, TheClientsOwnProcessNeverMatchesAndACleanScanClearsTheFinding) {
  fakeProcesses = {{0, L""}, {GetCurrentProcessId(), L"cheatengine-x86_64.exe"}, {4242, L"explorer.exe"}};
  for (bool full : {false, true}) {
    EXPECT_EQ(Scan(full), kProgramScanClean);
    EXPECT_EQ(windowsError, 0u);
    EXPECT_EQ(finding.rule, nullptr);
    EXPECT_EQ(finding.processId, 0u);
    EXPECT_EQ(finding.accessMask, 0u);
  }
}

TEST_F(ProgramScanSeam, StopsAtTheFirstFinding) {
  fakeProcesses = {{5000, L"explorer.exe"}, {5001, L"x64dbg.exe"}, {5002, L"cheatengine.exe"}};
  EXPECT_EQ(Scan(false), kProgramScanFinding);
  EXPECT_EQ(finding.processId, 5001u);
  EXPECT_EQ(std::wstring(finding.rule->code), L"AC-PROC-002");
}

TEST_F(ProgramScanSeam, DamagedEntriesAreNotFollowed) {
  // An offset far beyond the answer ends the walk after the first entry.
  fakeProcesses = {{5000, L"explorer.exe"}, {5001, L"x64dbg.exe"}};
  corruptNextOffset = true;
  EXPECT_EQ(Scan(false), kProgramScanClean);
  // A name that points outside the answer is not read.
  corruptNextOffset = false;
  nameOutsideBuffer = true;
  EXPECT_EQ(Scan(false), kProgramScanClean);
}

TEST_F(ProgramScanSeam, TheNextScanOfAnUnchangedListStartsFromTheSizeThatFitted) {
  for (DWORD i = 0; i < 3000; ++i) fakeProcesses.push_back({1000 + i, L"background_service_" + std::to_wstring(i) + L".exe"});
  EXPECT_EQ(Scan(false), kProgramScanClean);
  EXPECT_GE(queryCalls, 2) << "the first buffer was too small";
  for (bool full : {false, true}) {
    queryCalls = 0;
    EXPECT_EQ(Scan(full), kProgramScanClean);
    EXPECT_EQ(queryCalls, 1);
  }
  // A list that never fits leaves the remembered size within the bound, so
  // the next read is not made to start beyond it.
  win32Calls.NtQuerySystemInformation = EverGrowingQuery;
  EXPECT_EQ(Scan(false), kProgramScanFailed);
  win32Calls.NtQuerySystemInformation = CraftedProcessList;
  queryCalls = 0;
  EXPECT_EQ(Scan(false), kProgramScanClean);
  EXPECT_EQ(queryCalls, 1);
}
