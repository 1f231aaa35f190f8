// How the fatal exit starts the error helper, seen through the call table:
// what CreateProcessW is given, and that every failure releases what the
// launch made. (The fatal exit itself, which ends the process, is watched
// from outside by the end-to-end tests.)
#include <gtest/gtest.h>

#include <string>

#include "checks/fatal_exit.h"
#include "test_support.h"

namespace {
// STARTUPINFOEXW from the 32-bit client (and from the 64-bit check build).
#ifdef _WIN64
constexpr DWORD kStartupInfoExBytes = 112;
#else
constexpr DWORD kStartupInfoExBytes = 72;
#endif
struct LaunchRecord {
  int duplicates, closesOfDuplicate, attributeListsInitialized, attributeListsDeleted, creates;
  HANDLE duplicate;
  DWORD duplicateAccess;
  BOOL duplicateInheritable;
  std::wstring application, commandLine, directory;
  BOOL inheritHandles;
  DWORD flags;
  DWORD startupSize;
  bool hadAttributeList;
  HANDLE listedHandle;
};
LaunchRecord record;
bool failDuplicate, zeroListSize, failListInit, failUpdate, failCreate;

BOOL WINAPI FakeDuplicate(HANDLE sp, HANDLE s, HANDLE tp, LPHANDLE t, DWORD access, BOOL inherit, DWORD options) {
  if (failDuplicate) return SetLastError(ERROR_ACCESS_DENIED), FALSE;
  BOOL ok = DuplicateHandle(sp, s, tp, t, access, inherit, options);
  ++record.duplicates;
  record.duplicate = *t;
  record.duplicateAccess = access;
  record.duplicateInheritable = inherit;
  return ok;
}
BOOL WINAPI CountingClose(HANDLE h) {
  if (h == record.duplicate) ++record.closesOfDuplicate;
  return CloseHandle(h);
}
BOOL WINAPI FakeListInit(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD count, DWORD flags, PSIZE_T size) {
  if (!list && zeroListSize) {
    *size = 0;
    return FALSE;
  }
  if (list && failListInit) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  BOOL ok = InitializeProcThreadAttributeList(list, count, flags, size);
  if (list && ok) ++record.attributeListsInitialized;
  return ok;
}
void WINAPI CountingListDelete(LPPROC_THREAD_ATTRIBUTE_LIST list) {
  ++record.attributeListsDeleted;
  DeleteProcThreadAttributeList(list);
}
BOOL WINAPI FakeUpdate(LPPROC_THREAD_ATTRIBUTE_LIST list, DWORD flags, DWORD_PTR attribute, PVOID value, SIZE_T size,
                       PVOID previous, PSIZE_T returned) {
  if (failUpdate) return SetLastError(ERROR_INVALID_PARAMETER), FALSE;
  if (attribute == PROC_THREAD_ATTRIBUTE_HANDLE_LIST && size == sizeof(HANDLE))
    record.listedHandle = *static_cast<HANDLE*>(value);
  return UpdateProcThreadAttribute(list, flags, attribute, value, size, previous, returned);
}
BOOL WINAPI RecordingCreateProcess(LPCWSTR app, LPWSTR cmd, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                                   BOOL inherit, DWORD flags, LPVOID, LPCWSTR dir, LPSTARTUPINFOW startup,
                                   LPPROCESS_INFORMATION) {
  ++record.creates;
  record.application = app ? app : L"";
  record.commandLine = cmd ? cmd : L"";
  record.directory = dir ? dir : L"";
  record.inheritHandles = inherit;
  record.flags = flags;
  record.startupSize = startup->cb;
  record.hadAttributeList = reinterpret_cast<STARTUPINFOEXW*>(startup)->lpAttributeList != nullptr;
  if (failCreate) return SetLastError(ERROR_FILE_NOT_FOUND), FALSE;
  return SetLastError(ERROR_FILE_NOT_FOUND), FALSE;
}

class ErrorHelperLaunch : public testing::Test {
 protected:
  void SetUp() override {
    record = LaunchRecord{};
    failDuplicate = zeroListSize = failListInit = failUpdate = failCreate = false;
    win32Calls.DuplicateHandle = FakeDuplicate;
    win32Calls.CloseHandle = CountingClose;
    win32Calls.InitializeProcThreadAttributeList = FakeListInit;
    win32Calls.DeleteProcThreadAttributeList = CountingListDelete;
    win32Calls.UpdateProcThreadAttribute = FakeUpdate;
    win32Calls.CreateProcessW = RecordingCreateProcess;
    SetGuardRunning(true);
  }
  std::wstring ClientDirectory() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path);
    return text.substr(0, text.find_last_of(L"\\/") + 1);
  }
};

TEST_F(ErrorHelperLaunch, PassesOneInheritableSynchronizeHandleAndTheCommandLine) {
  EXPECT_FALSE(LaunchErrorHelper(L"AC-VM-001"));  // the fake never creates a process
  ASSERT_EQ(record.creates, 1);
  std::wstring helper = ClientDirectory() + L"ZarnelUpdateHelper.exe";
  EXPECT_EQ(record.application, helper);
  EXPECT_EQ(record.commandLine, L"\"" + helper + L"\" --guard-error AC-VM-001 " +
                                    std::to_wstring(reinterpret_cast<ULONG_PTR>(record.duplicate)));
  EXPECT_EQ(record.directory, ClientDirectory());
  EXPECT_EQ(record.duplicateAccess, static_cast<DWORD>(SYNCHRONIZE));
  EXPECT_TRUE(record.duplicateInheritable);
  EXPECT_EQ(record.listedHandle, record.duplicate) << "the handle list holds exactly that handle";
  EXPECT_TRUE(record.inheritHandles);
  EXPECT_EQ(record.flags, 0x80400u);
  EXPECT_EQ(record.startupSize, kStartupInfoExBytes);
  EXPECT_TRUE(record.hadAttributeList);
  EXPECT_EQ(record.closesOfDuplicate, 1) << "the client's own copy is closed";
  EXPECT_EQ(record.attributeListsDeleted, record.attributeListsInitialized);
}

TEST_F(ErrorHelperLaunch, EveryFailingStepReleasesWhatWasMade) {
  struct {
    const char* name;
    bool* failure;
  } steps[] = {
      {"duplicate", &failDuplicate},
      {"list size", &zeroListSize},
      {"list init", &failListInit},
      {"update", &failUpdate},
  };
  for (const auto& step : steps) {
    record = LaunchRecord{};
    *step.failure = true;
    EXPECT_FALSE(LaunchErrorHelper(L"AC-VM-001")) << step.name;
    EXPECT_EQ(record.creates, 0) << step.name;
    EXPECT_EQ(record.closesOfDuplicate, record.duplicates) << step.name;
    EXPECT_EQ(record.attributeListsDeleted, record.attributeListsInitialized) << step.name;
    *step.failure = false;
  }
}

TEST_F(ErrorHelperLaunch, NothingIsTriedWhileTheGuardIsNotRunningOrTheCodeIsUnsafe) {
  SetGuardRunning(false);
  EXPECT_FALSE(LaunchErrorHelper(L"AC-VM-001"));
  SetGuardRunning(true);
  for (const wchar_t* code : {static_cast<const wchar_t*>(nullptr), L"", L"AC VM-001", L"AC\"VM", L" "}) {
    EXPECT_FALSE(LaunchErrorHelper(code));
  }
  EXPECT_EQ(record.duplicates, 0);
  EXPECT_EQ(record.creates, 0);
}

TEST(BuildErrorHelperCommandLine, WritesTheHandleAsPlainDecimal) {
  WideBuffer line;
  ASSERT_TRUE(BuildErrorHelperCommandLine(L"C:\\Zarnel\\ZarnelUpdateHelper.exe", L"AC-VM-001",
                                          reinterpret_cast<HANDLE>(1234), line));
  EXPECT_STREQ(line.CStr(), L"\"C:\\Zarnel\\ZarnelUpdateHelper.exe\" --guard-error AC-VM-001 1234");
  ASSERT_TRUE(BuildErrorHelperCommandLine(L"C:\\Z\\H.exe", L"AC-PROC-000", reinterpret_cast<HANDLE>(0xFFFFFFFC), line));
  EXPECT_STREQ(line.CStr(), L"\"C:\\Z\\H.exe\" --guard-error AC-PROC-000 4294967292");
}
}  // namespace
