// The debugger check's signals one by one, the module scan when its list
// cannot be taken, and the mitigation policy that the hardening applies.
#include <gtest/gtest.h>
#include <winternl.h>

#include <cstring>

#include "checks/detection_checks.h"
#include "test_support.h"

namespace {
// ---- debugger signals ----
bool pebFlag, remoteFlag, debugPort, debugObject;
int debugObjectHandlesClosed;
HANDLE fakeDebugObject;

BOOL WINAPI FakeIsDebuggerPresent() { return pebFlag; }
BOOL WINAPI FakeCheckRemoteDebuggerPresent(HANDLE, PBOOL present) {
  *present = remoteFlag;
  return TRUE;
}
NTSTATUS NTAPI FakeQueryProcess(HANDLE, PROCESSINFOCLASS informationClass, PVOID value, ULONG size, PULONG) {
  switch (static_cast<ULONG>(informationClass)) {
    case 7:  // debug port
      std::memset(value, 0, size);
      if (debugPort) *static_cast<ULONG_PTR*>(value) = static_cast<ULONG_PTR>(-1);
      return 0;
    case 30:  // debug object
      *static_cast<HANDLE*>(value) = nullptr;
      if (!debugObject) return static_cast<NTSTATUS>(0xC0000353);  // no debug port
      *static_cast<HANDLE*>(value) = fakeDebugObject;
      return 0;
    default:
      return static_cast<NTSTATUS>(0xC0000003);
  }
}
BOOL WINAPI CountingCloseHandle(HANDLE handle) {
  if (handle == fakeDebugObject) {
    ++debugObjectHandlesClosed;
    return TRUE;
  }
  return CloseHandle(handle);
}
}  // namespace

TEST(DebuggerCheck, EachSignalAloneIsEnoughAndNoneMeansNoDebugger) {
  win32Calls.IsDebuggerPresent = FakeIsDebuggerPresent;
  win32Calls.CheckRemoteDebuggerPresent = FakeCheckRemoteDebuggerPresent;
  win32Calls.NtQueryInformationProcess = FakeQueryProcess;
  win32Calls.CloseHandle = CountingCloseHandle;
  fakeDebugObject = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  struct {
    const char* name;
    bool peb, remote, port, object;
  } cases[] = {
      {"none", false, false, false, false},         {"peb_flag_only", true, false, false, false},
      {"remote_query_only", false, true, false, false}, {"debug_port_only", false, false, true, false},
      {"debug_object_only", false, false, false, true}, {"all", true, true, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pebFlag = c.peb, remoteFlag = c.remote, debugPort = c.port, debugObject = c.object;
    debugObjectHandlesClosed = 0;
    bool expected = c.peb || c.remote || c.port || c.object;
    EXPECT_EQ(DetectActiveDebugger(), expected);
    EXPECT_EQ(debugObjectHandlesClosed, c.object ? 1 : 0) << "the debug object handle the query opened is closed";
  }
  CloseHandle(fakeDebugObject);
}

TEST(DebuggerCheck, NoDebuggerInThisTestProcess) { EXPECT_FALSE(DetectActiveDebugger()); }

namespace {
// ---- module scan ----
int snapshotCalls;
DWORD snapshotFailuresLeft;
DWORD snapshotError;
HANDLE WINAPI FailingSnapshot(DWORD flags, DWORD processId) {
  ++snapshotCalls;
  if (snapshotFailuresLeft > 0) {
    --snapshotFailuresLeft;
    SetLastError(snapshotError);
    return INVALID_HANDLE_VALUE;
  }
  return CreateToolhelp32Snapshot(flags, processId);
}
// The list pretends that a blocked DLL is loaded.
BOOL WINAPI BlockedFirstModule(HANDLE snapshot, LPMODULEENTRY32W entry) {
  if (!Module32FirstW(snapshot, entry)) return FALSE;
  wcscpy(entry->szModule, L"SpeedHack-i386.dll");
  wcscpy(entry->szExePath, L"C:\\Tools\\SpeedHack-i386.dll");
  return TRUE;
}
}  // namespace

TEST(ModuleScan, AListThatCannotBeTakenCountsAsCleanAndABusyLoaderIsRetried) {
  win32Calls.CreateToolhelp32Snapshot = FailingSnapshot;
  win32Calls.Module32FirstW = BlockedFirstModule;
  struct {
    const char* name;
    DWORD failures;
    DWORD error;
    bool found;
    int calls;
  } cases[] = {
      {"access_denied", 5, ERROR_ACCESS_DENIED, false, 1},
      {"bad_length_every_time", 5, ERROR_BAD_LENGTH, false, 3},
      {"bad_length_once", 1, ERROR_BAD_LENGTH, true, 2},
      {"no_failure", 0, 0, true, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    snapshotCalls = 0;
    snapshotFailuresLeft = c.failures;
    snapshotError = c.error;
    ModuleFinding finding = {};
    finding.rule = reinterpret_cast<const ModuleRule*>(1);  // stale, must be cleared
    EXPECT_EQ(ScanLoadedModules(finding), c.found);
    EXPECT_EQ(snapshotCalls, c.calls);
    if (!c.found) {
      EXPECT_EQ(finding.rule, nullptr);
      continue;
    }
    ASSERT_NE(finding.rule, nullptr);
    EXPECT_EQ(std::wstring(ModuleFindingCode(finding)), L"AC-MODULE-001");
    EXPECT_EQ(std::wstring(finding.moduleName.CStr()), L"C:\\Tools\\SpeedHack-i386.dll");
  }
}

TEST(ModuleScan, FindsNothingInThisTestProcess) {
  ModuleFinding finding = {};
  EXPECT_FALSE(ScanLoadedModules(finding));
  EXPECT_EQ(finding.rule, nullptr);
}

namespace {
// ---- hardening ----
int policyCalls;
PROCESS_MITIGATION_POLICY appliedKind;
PROCESS_MITIGATION_IMAGE_LOAD_POLICY appliedPolicy;
bool offerPolicyCall;
UINT driveType;

BOOL WINAPI RecordPolicy(PROCESS_MITIGATION_POLICY kind, PVOID policy, SIZE_T size) {
  ++policyCalls;
  appliedKind = kind;
  if (size == sizeof(appliedPolicy)) std::memcpy(&appliedPolicy, policy, size);
  return TRUE;
}
FARPROC WINAPI OfferPolicy(HMODULE module, LPCSTR name) {
  if (std::strcmp(name, "SetProcessMitigationPolicy") == 0)
    return offerPolicyCall ? reinterpret_cast<FARPROC>(reinterpret_cast<void*>(RecordPolicy)) : nullptr;
  return GetProcAddress(module, name);
}
UINT WINAPI FakeDriveType(LPCWSTR) { return driveType; }
}  // namespace

TEST(ProcessHardening, RefusesLowIntegrityImagesAndRemoteOnesUnlessTheClientIsRemote) {
  win32Calls.GetProcAddress = OfferPolicy;
  win32Calls.GetDriveTypeW = FakeDriveType;
  struct {
    const char* name;
    bool offered;
    UINT drive;
    int calls;
    unsigned noRemote;
  } cases[] = {
      {"local_disk", true, DRIVE_FIXED, 1, 1},
      {"network_drive", true, DRIVE_REMOTE, 1, 0},
      {"call_absent", false, DRIVE_FIXED, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    policyCalls = 0;
    appliedPolicy = {};
    offerPolicyCall = c.offered;
    driveType = c.drive;
    ApplyProcessHardening();
    EXPECT_EQ(policyCalls, c.calls);
    if (!c.calls) continue;
    EXPECT_EQ(appliedKind, ProcessImageLoadPolicy);
    EXPECT_EQ(appliedPolicy.NoLowMandatoryLabelImages, 1u);
    EXPECT_EQ(appliedPolicy.NoRemoteImages, c.noRemote);
    EXPECT_EQ(appliedPolicy.PreferSystem32Images, 0u) << "the client's own redistributable DLLs stay its own";
  }
}

// ---- system crypto libraries outside the system directory ----
namespace {
struct ListedModule {
  const wchar_t* name;
  const wchar_t* path;
};
const ListedModule* listedModules;
size_t listedCount;
size_t listedNext;
bool underWow64;
bool systemDirectoryReadable;

BOOL WINAPI ListedFirstModule(HANDLE, LPMODULEENTRY32W entry) {
  listedNext = 0;
  if (listedNext >= listedCount) return FALSE;
  wcscpy(entry->szModule, listedModules[listedNext].name);
  wcscpy(entry->szExePath, listedModules[listedNext].path);
  ++listedNext;
  return TRUE;
}
BOOL WINAPI ListedNextModule(HANDLE, LPMODULEENTRY32W entry) {
  if (listedNext >= listedCount) return SetLastError(ERROR_NO_MORE_FILES), FALSE;
  wcscpy(entry->szModule, listedModules[listedNext].name);
  wcscpy(entry->szExePath, listedModules[listedNext].path);
  ++listedNext;
  return TRUE;
}
UINT WINAPI FixedSystemDirectory(LPWSTR buffer, UINT size) {
  if (!systemDirectoryReadable) return 0;
  const wchar_t directory[] = L"C:\\Windows\\system32";
  if (size < 20) return 20;
  wcscpy(buffer, directory);
  return 19;
}
UINT WINAPI FixedWow64Directory(LPWSTR buffer, UINT size) {
  const wchar_t directory[] = L"C:\\Windows\\SysWOW64";
  if (size < 20) return 20;
  wcscpy(buffer, directory);
  return 19;
}
BOOL WINAPI FixedWow64(HANDLE, PBOOL wow64) {
  *wow64 = underWow64;
  return TRUE;
}
}  // namespace

TEST(ModuleScan, ASystemCryptoLibraryFromOutsideTheSystemDirectoryIsAFindingWithoutARow) {
  win32Calls.Module32FirstW = ListedFirstModule;
  win32Calls.Module32NextW = ListedNextModule;
  win32Calls.GetSystemDirectoryW = FixedSystemDirectory;
  win32Calls.GetSystemWow64DirectoryW = FixedWow64Directory;
  win32Calls.IsWow64Process = FixedWow64;
  struct Case {
    const char* name;
    ListedModule module;
    bool wow64;
    bool readable;
    bool found;
  } cases[] = {
      {"bcrypt_beside_the_client", {L"bcrypt.dll", L"C:\\Games\\Zarnel\\bcrypt.dll"}, false, true, true},
      {"ncrypt_in_the_system_directory", {L"ncrypt.dll", L"C:\\Windows\\System32\\ncrypt.dll"}, false, true, false},
      {"other_letter_case", {L"BCRYPT.DLL", L"c:\\WINDOWS\\SYSTEM32\\BCRYPT.DLL"}, false, true, false},
      {"verbatim_prefix", {L"rsaenh.dll", L"\\\\?\\C:\\Windows\\system32\\rsaenh.dll"}, false, true, false},
      {"below_the_system_directory", {L"ncryptprov.dll", L"C:\\Windows\\system32\\x\\ncryptprov.dll"}, false, true, true},
      {"system_directory_as_a_prefix", {L"cryptsp.dll", L"C:\\Windows\\system32x\\cryptsp.dll"}, false, true, true},
      {"syswow64_under_wow64", {L"bcrypt.dll", L"C:\\Windows\\SysWOW64\\bcrypt.dll"}, true, true, false},
      {"syswow64_without_wow64", {L"bcrypt.dll", L"C:\\Windows\\SysWOW64\\bcrypt.dll"}, false, true, true},
      {"no_path_at_all", {L"bcrypt.dll", L"bcrypt.dll"}, false, true, true},
      {"a_name_only_like_it", {L"mybcrypt.dll", L"C:\\Games\\Zarnel\\mybcrypt.dll"}, false, true, false},
      {"system_directory_unreadable", {L"bcrypt.dll", L"C:\\Games\\Zarnel\\bcrypt.dll"}, false, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ListedModule list[] = {{L"Zarnel.exe", L"C:\\Games\\Zarnel\\Zarnel.exe"}, c.module};
    listedModules = list;
    listedCount = 2;
    underWow64 = c.wow64;
    systemDirectoryReadable = c.readable;
    ModuleFinding finding = {};
    EXPECT_EQ(ScanLoadedModules(finding), c.found);
    EXPECT_EQ(finding.rule, nullptr);
    if (!c.found) continue;
    EXPECT_EQ(std::wstring(ModuleFindingCode(finding)), L"AC-MODULE-000");
    EXPECT_EQ(std::wstring(finding.moduleName.CStr()), c.module.path);
  }
}
