// The guarded start against a private copy of the sample client, with the
// stand-in key store: every way it can fail, each with its message and
// nothing of the failed run left behind, the findings that end the client
// instead, the findings it tolerates once a detection is pending, and the
// next call that runs the whole sequence again and succeeds.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "core/startup_sequence.h"
#include "checks/blocked_module_table.h"
#include "checks/blocked_program_table.h"
#include "checks/finding_texts.h"
#include "platform/native_system_information.h"
#include "checks/virtual_machine_check.h"
#include "contained_process.h"
#include "hard_cheat_fixture.h"
#include "integrity/guard_manifest.h"
#include "integrity/sha256_digest.h"
#include "standin_ksp_fixture.h"

#ifdef ZG_SAMPLE_CLIENT_DIR
namespace {
const wchar_t kMarkerName[] = L"Global\\ZarnelGuard-v95-single-client-74249B15-AC70-48D2-AE27-3678C60128DA";

// ---- what the start-up creates and closes through the call table --------
struct Ledger {
  std::wstring markerAskedFor;
  std::wstring privateMarker;  // the name really used, so no other guard on this machine meets ours
  DWORD errorBeforeMarker = 0;
  bool markerOwnedOrSecured = false;
  int mutexCalls = 0, eventCalls = 0, threadCalls = 0;
  SIZE_T threadStack = 0;
  DWORD threadFlags = 0;
  bool failMutex = false, failEvent = false, failThread = false;
  std::set<HANDLE> live;  // made by those calls and not closed yet
} ledger;

HANDLE WINAPI TrackedCreateMutex(LPSECURITY_ATTRIBUTES security, BOOL owner, LPCWSTR name) {
  ++ledger.mutexCalls;
  ledger.errorBeforeMarker = GetLastError();
  ledger.markerAskedFor = name ? name : L"";
  ledger.markerOwnedOrSecured = owner || security;
  if (ledger.failMutex) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  HANDLE handle = CreateMutexW(security, owner, ledger.privateMarker.c_str());
  DWORD error = GetLastError();
  if (handle) ledger.live.insert(handle);
  SetLastError(error);
  return handle;
}
HANDLE WINAPI TrackedCreateEvent(LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial, LPCWSTR name) {
  ++ledger.eventCalls;
  if (ledger.failEvent) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE handle = CreateEventW(security, manual, initial, name);
  if (handle) ledger.live.insert(handle);
  return handle;
}
HANDLE WINAPI TrackedCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                                  LPVOID parameter, DWORD flags, LPDWORD id) {
  ++ledger.threadCalls;
  ledger.threadStack = stack;
  ledger.threadFlags = flags;
  if (ledger.failThread) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  HANDLE handle = CreateThread(security, stack, start, parameter, flags, id);
  if (handle) ledger.live.insert(handle);
  return handle;
}
BOOL WINAPI TrackedCloseHandle(HANDLE handle) {
  ledger.live.erase(handle);
  return CloseHandle(handle);
}

// ---- the guard's module lies in the copy --------------------------------
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

// ---- machine identity sources that all fail -----------------------------
LSTATUS WINAPI NoRegistryKey(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY) { return ERROR_FILE_NOT_FOUND; }
UINT WINAPI NoFirmwareTable(DWORD, DWORD, PVOID, DWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return 0;
}
BOOL WINAPI NoVolumeInformation(LPCWSTR, LPWSTR, DWORD, LPDWORD, LPDWORD, LPDWORD, LPWSTR, DWORD) {
  SetLastError(ERROR_NOT_READY);
  return FALSE;
}

// ---- findings -----------------------------------------------------------
BOOL WINAPI DebuggerPresent() { return TRUE; }
NTSTATUS WINAPI NoRandom(BCRYPT_ALG_HANDLE, PUCHAR, ULONG, ULONG) { return static_cast<NTSTATUS>(0xC0000001); }

const HANDLE kFakeSnapshot = reinterpret_cast<HANDLE>(0x5A50);
const wchar_t* stagedModule = nullptr;
HANDLE WINAPI StagedModuleSnapshot(DWORD, DWORD) { return kFakeSnapshot; }
BOOL WINAPI StagedFirstModule(HANDLE, LPMODULEENTRY32W entry) {
  wcscpy(entry->szModule, stagedModule);
  wcscpy(entry->szExePath, (std::wstring(L"C:\\tools\\") + stagedModule).c_str());
  return TRUE;
}
BOOL WINAPI NoMoreModules(HANDLE, LPMODULEENTRY32W) { return FALSE; }
BOOL WINAPI CloseUnlessFake(HANDLE handle) { return handle == kFakeSnapshot ? TRUE : TrackedCloseHandle(handle); }

// The process list holds only the staged programs; every other query (the
// handle table) is answered by the system.
struct StagedProcess {
  DWORD processId;
  std::wstring name;
};
std::vector<StagedProcess> stagedProcesses;
bool processListDenied = false;
decltype(win32Calls.NtQuerySystemInformation) realQuery;

size_t AlignEight(size_t n) { return (n + 7) & ~static_cast<size_t>(7); }
// A staged id of a running process carries its creation time, as the
// system's list does: the access check tells a process by it.
LONGLONG CreationTimeOf(DWORD processId) {
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  FILETIME times[4] = {};
  bool known = process && GetProcessTimes(process, &times[0], &times[1], &times[2], &times[3]);
  if (process) CloseHandle(process);
  return known ? static_cast<LONGLONG>((static_cast<ULONGLONG>(times[0].dwHighDateTime) << 32) | times[0].dwLowDateTime)
               : 0;
}
NTSTATUS NTAPI StagedProcessList(SYSTEM_INFORMATION_CLASS informationClass, PVOID buffer, ULONG size, PULONG needed) {
  if (static_cast<ULONG>(informationClass) != kSystemProcessInformationClass)
    return realQuery(informationClass, buffer, size, needed);
  if (processListDenied) return static_cast<NTSTATUS>(0xC0000022);
  size_t total = 0;
  for (const StagedProcess& p : stagedProcesses)
    total += AlignEight(sizeof(NativeProcessEntry) + (p.name.size() + 1) * sizeof(wchar_t));
  if (needed) *needed = static_cast<ULONG>(total);
  if (size < total) return static_cast<NTSTATUS>(0xC0000004);
  uint8_t* base = static_cast<uint8_t*>(buffer);
  size_t offset = 0;
  for (size_t i = 0; i < stagedProcesses.size(); ++i) {
    const StagedProcess& p = stagedProcesses[i];
    size_t entrySize = AlignEight(sizeof(NativeProcessEntry) + (p.name.size() + 1) * sizeof(wchar_t));
    NativeProcessEntry entry = {};
    entry.nextEntryOffset = i + 1 < stagedProcesses.size() ? static_cast<ULONG>(entrySize) : 0;
    entry.uniqueProcessId = p.processId;
    entry.createTime = CreationTimeOf(p.processId);
    wchar_t* name = reinterpret_cast<wchar_t*>(base + offset + sizeof(NativeProcessEntry));
    std::memcpy(name, p.name.c_str(), (p.name.size() + 1) * sizeof(wchar_t));
    entry.imageName.length = static_cast<USHORT>(p.name.size() * sizeof(wchar_t));
    entry.imageName.maximumLength = static_cast<USHORT>(entry.imageName.length + 2);
    entry.imageName.buffer = name;
    std::memcpy(base + offset, &entry, sizeof(entry));
    offset += entrySize;
  }
  return 0;
}
// Staged process ids belong to no process: nothing is opened for them.
HANDLE WINAPI NoProcessOpens(DWORD, BOOL, DWORD) {
  SetLastError(ERROR_INVALID_PARAMETER);
  return nullptr;
}

// A real process that holds a handle to this one with memory rights: a
// suspended copy of this test program that inherited that one handle and
// nothing else, and that ends with the test, however the test ends.
class AccessHolder {
 public:
  explicit AccessHolder(DWORD access) {
    HANDLE self = GetCurrentProcess();
    if (!DuplicateHandle(self, self, self, &inheritable_, access, TRUE, 0)) return;
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    holder_.Start(exe, L"\"" + std::wstring(exe) + L"\" --gtest_list_tests", L"", {inheritable_}, CREATE_SUSPENDED);
  }
  ~AccessHolder() {
    holder_.End();
    if (inheritable_) CloseHandle(inheritable_);
  }
  bool Started() const { return holder_.Started(); }
  DWORD Id() const { return holder_.Id(); }

 private:
  HANDLE inheritable_ = nullptr;
  ContainedProcess holder_;
};

std::wstring WindowsPath(const char* text) {
  std::wstring path(text, text + strlen(text));
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

bool CanOpenForWriting(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text; ++text) out += *text < 128 ? static_cast<char>(*text) : '?';
  return out;
}

// GetProcessHandleCount answers 0 under Wine, so the handles are counted
// in the system handle table, which lists each handle with its owner.
DWORD HandleCount() {
  using Query = LONG(NTAPI*)(ULONG, PVOID, ULONG, PULONG);
  static Query query = reinterpret_cast<Query>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  struct Entry {
    ULONG_PTR object, ownerId, value;
    ULONG access;
    USHORT backTrace, type;
    ULONG attributes, reserved;
  };
  std::vector<BYTE> table(1 << 20);
  for (;;) {
    ULONG needed = 0;
    LONG status = query(64, table.data(), static_cast<ULONG>(table.size()), &needed);
    if (status == static_cast<LONG>(0xC0000004)) {
      table.resize(table.size() * 2);
      continue;
    }
    if (status != 0) return 0;
    break;
  }
  ULONG_PTR count = *reinterpret_cast<ULONG_PTR*>(table.data());
  const Entry* entries = reinterpret_cast<const Entry*>(table.data() + 2 * sizeof(ULONG_PTR));
  DWORD own = 0;
  for (ULONG_PTR i = 0; i < count; ++i)
    if (entries[i].ownerId == GetCurrentProcessId()) ++own;
  return own;
}

// Another client's marker, held by the test itself.
HANDLE otherClientsMarker;

class StartupSequence : public StandInKspTest {
 public:
  using StandInKspTest::UseBehaviours;

 protected:
  void SetUp() override {
    StandInKspTest::SetUp();
    std::wstring source = WindowsPath(ZG_SAMPLE_CLIENT_DIR);
    for (const GuardManifestEntry& entry : kGuardManifest)
      ASSERT_TRUE(CopyFileW((source + entry.relativePath).c_str(), Path(entry).c_str(), FALSE))
          << "sample client file missing: " << Narrow(entry.relativePath);
    moduleDirectory = dir.Path();
    ledger = Ledger{};
    ledger.privateMarker = L"Local\\ZarnelGuardStartupTest-" + std::to_wstring(GetCurrentProcessId());
    // Wine opens the session's named-object directory at a process's first
    // named object and keeps it open: made here, it is not counted as the
    // guard's.
    CloseHandle(CreateMutexW(nullptr, FALSE, ledger.privateMarker.c_str()));
    stagedProcesses.clear();
    processListDenied = false;
    stagedModule = nullptr;
    realQuery = win32Calls.NtQuerySystemInformation;
    UseClientCopy();
    hard_cheat_test::HelperCode().clear();
    hard_cheat_test::HelperLaunches() = 0;
  }
  void TearDown() override {
    // Whatever a case left (a fatal exit "ended" it mid-sequence), the copy
    // can only be removed once nothing holds it.
    ZarnelGuardShutdown();
    RestoreWin32Calls();
    StandInKspTest::TearDown();
  }


 public:
  // The real system but for the calls the ledger watches.
  void UseClientCopy() {
    RestoreWin32Calls();
    win32Calls.GetModuleFileNameW = ModuleInClientCopy;
    win32Calls.CreateMutexW = TrackedCreateMutex;
    win32Calls.CreateEventW = TrackedCreateEvent;
    win32Calls.CreateThread = TrackedCreateThread;
    win32Calls.CloseHandle = TrackedCloseHandle;
  }

 protected:
  // A fatal exit ends in a caught exception; the helper launch is recorded.
  static void CatchFatalExit() {
    win32Calls.TerminateProcess = hard_cheat_test::EndByThrowing;
    win32Calls.CreateProcessW = hard_cheat_test::RecordHelperLaunch;
  }


 public:
  std::wstring Path(const GuardManifestEntry& entry) const { return dir.Path() + entry.relativePath; }
  void FlipFirstByte(const GuardManifestEntry& entry) { ASSERT_TRUE(::FlipFirstByte(Path(entry))); }


 protected:
  // What a failed start-up may leave: nothing it created.
  void ExpectNothingLeftBehind(DWORD handlesBefore) {
    EXPECT_EQ(guard.guardRunning, 0);
    EXPECT_EQ(guard.coreFiles.count, 0u);
    EXPECT_EQ(guard.archiveFiles.count, 0u);
    EXPECT_EQ(guard.singleClientMutex, nullptr);
    EXPECT_EQ(guard.stopEvent, nullptr);
    EXPECT_EQ(guard.monitorThread, nullptr);
    EXPECT_EQ(guard.deviceKey, 0u);
    EXPECT_EQ(guard.deviceKeyProvider, 0u);
    EXPECT_EQ(guard.deviceKeyKind, 0u);
    EXPECT_EQ(ToHex(guard.machineIdentityDigest, 32), std::string(64, '0'));
    EXPECT_TRUE(ledger.live.empty()) << ledger.live.size() << " marker, event or thread handle(s) still open";
    EXPECT_EQ(OpenObjects(), 0) << "a key storage provider or key handle is still open";
    if (!otherClientsMarker) {
      HANDLE marker = OpenMutexW(SYNCHRONIZE, FALSE, ledger.privateMarker.c_str());
      EXPECT_EQ(marker, nullptr) << "the single-client marker still exists";
      if (marker) CloseHandle(marker);
    }
    for (const GuardManifestEntry& entry : kGuardManifest)
      EXPECT_TRUE(CanOpenForWriting(Path(entry))) << Narrow(entry.relativePath) << " is still held";
    EXPECT_EQ(HandleCount(), handlesBefore);
  }

  // The guard as a successful start-up leaves it.
  void ExpectRunning(uint32_t kind) {
    EXPECT_EQ(guard.guardRunning, 1);
    EXPECT_EQ(guard.coreFiles.count, kCoreClientFileCount);
    EXPECT_EQ(guard.archiveFiles.count, kClientArchiveCount);
    EXPECT_NE(guard.singleClientMutex, nullptr);
    EXPECT_NE(guard.stopEvent, nullptr);
    EXPECT_NE(guard.monitorThread, nullptr);
    EXPECT_NE(guard.deviceKey, 0u);
    EXPECT_EQ(guard.deviceKeyKind, kind);
    EXPECT_NE(ToHex(guard.machineIdentityDigest, 32), std::string(64, '0'));
    EXPECT_EQ(ledger.markerAskedFor, kMarkerName);
    EXPECT_FALSE(ledger.markerOwnedOrSecured) << "the marker is only created, never owned, default security";
    EXPECT_EQ(ledger.errorBeforeMarker, 0u) << "the thread's error is cleared before the marker is created";
    EXPECT_EQ(ledger.live.size(), 3u);
    EXPECT_FALSE(CanOpenForWriting(Path(kGuardManifest[0])));
    EXPECT_FALSE(CanOpenForWriting(Path(kGuardManifest[kFirstClientArchiveEntry])));
  }

  TempDirectory dir;
};

// ---- every failure that returns FALSE ----------------------------------

struct FailureCase {
  const char* name;
  void (*stage)(StartupSequence&);  // makes the failure
  void (*heal)(StartupSequence&);   // takes the cause away again
  std::wstring (*message)();
  int markerCalls, eventCalls, threadCalls;  // how far the sequence got
};

std::wstring ArchivePath() { return kGuardManifest[kFirstClientArchiveEntry].relativePath; }

const FailureCase kFailureCases[] = {
    {"client_directory_unresolvable", [](StartupSequence&) { win32Calls.GetModuleFileNameW = ModuleNameFails; },
     [](StartupSequence&) { win32Calls.GetModuleFileNameW = ModuleInClientCopy; },
     [] { return std::wstring(L"ZarnelGuard could not resolve the client directory."); }, 0, 0, 0},
    {"core_file_damaged", [](StartupSequence& t) { t.FlipFirstByte(kGuardManifest[3]); },
     [](StartupSequence& t) { t.FlipFirstByte(kGuardManifest[3]); },
     [] {
       return std::wstring(L"A Zarnel client file failed its integrity check: ") + kGuardManifest[3].relativePath;
     },
     0, 0, 0},
    {"marker_not_created", [](StartupSequence&) { ledger.failMutex = true; },
     [](StartupSequence&) { ledger.failMutex = false; },
     [] {
       return std::wstring(L"ZarnelGuard could not create its single-client marker: ") + kMarkerName +
              L" (Windows error 5)";
     },
     1, 0, 0},
    {"marker_exists", [](StartupSequence&) { otherClientsMarker = CreateMutexW(nullptr, FALSE, ledger.privateMarker.c_str()); },
     [](StartupSequence&) {
       CloseHandle(otherClientsMarker);
       otherClientsMarker = nullptr;
     },
     [] { return std::wstring(L"Only one Zarnel client can run on this Windows machine."); }, 1, 0, 0},
    {"archive_damaged", [](StartupSequence& t) { t.FlipFirstByte(kGuardManifest[kFirstClientArchiveEntry]); },
     [](StartupSequence& t) { t.FlipFirstByte(kGuardManifest[kFirstClientArchiveEntry]); },
     [] { return L"A Zarnel client file failed its integrity check: " + ArchivePath(); }, 1, 0, 0},
    {"machine_identity_unavailable",
     [](StartupSequence&) {
       win32Calls.RegOpenKeyExW = NoRegistryKey;
       win32Calls.GetSystemFirmwareTable = NoFirmwareTable;
       win32Calls.GetVolumeInformationW = NoVolumeInformation;
     },
     [](StartupSequence& t) { t.UseClientCopy(); },
     [] {
       return std::wstring(L"ZarnelGuard could not build a stable machine identity from this Windows installation.");
     },
     1, 0, 0},
    {"no_key_provider_works", [](StartupSequence& t) { t.UseBehaviours(L"unavailable", L"unavailable"); },
     [](StartupSequence& t) { t.UseBehaviours(L"normal", L"normal"); },
     [] { return std::wstring(L"ZarnelGuard could not create or open its protected device key."); }, 1, 0, 0},
    {"stop_event_not_created", [](StartupSequence&) { ledger.failEvent = true; },
     [](StartupSequence&) { ledger.failEvent = false; },
     [] { return std::wstring(L"ZarnelGuard could not create its stop event."); }, 1, 1, 0},
    {"monitor_thread_not_started", [](StartupSequence&) { ledger.failThread = true; },
     [](StartupSequence&) { ledger.failThread = false; },
     [] { return std::wstring(L"ZarnelGuard could not start its integrity monitor."); }, 1, 1, 1},
};

class StartupFailure : public StartupSequence, public testing::WithParamInterface<FailureCase> {};

TEST_P(StartupFailure, ReturnsFalseWithItsMessageLeavesNothingAndTheNextCallStartsAfresh) {
  const FailureCase& c = GetParam();
  c.stage(*this);
  DWORD handlesBefore = HandleCount();
  EXPECT_EQ(ZarnelGuardInitialize(), 0);
  EXPECT_EQ(std::wstring(guard.lastErrorText), c.message()) << Narrow(guard.lastErrorText);
  EXPECT_EQ(ledger.mutexCalls, c.markerCalls);
  EXPECT_EQ(ledger.eventCalls, c.eventCalls);
  EXPECT_EQ(ledger.threadCalls, c.threadCalls) << "the monitor thread is only tried when every step before it worked";
  ExpectNothingLeftBehind(handlesBefore);

  // The failed run did not count as the one start: the next call runs the
  // whole sequence again, from the marker on, and this time starts.
  c.heal(*this);
  handlesBefore = HandleCount();
  ledger.mutexCalls = 0;
  ASSERT_NE(ZarnelGuardInitialize(), 0) << Narrow(guard.lastErrorText);
  EXPECT_EQ(ledger.mutexCalls, 1);
  ExpectRunning(kDeviceKeyKindPlatform);
  ZarnelGuardShutdown();
  ExpectNothingLeftBehind(handlesBefore);
}

INSTANTIATE_TEST_SUITE_P(Table, StartupFailure, testing::ValuesIn(kFailureCases),
                         [](const testing::TestParamInfo<FailureCase>& i) { return std::string(i.param.name); });

TEST_F(StartupSequence, WithoutAPlatformProviderTheSoftwareKeyStartsTheGuard) {
  UseBehaviours(L"unavailable", L"normal");
  ASSERT_NE(ZarnelGuardInitialize(), 0) << Narrow(guard.lastErrorText);
  ExpectRunning(kDeviceKeyKindSoftware);
  EXPECT_STREQ(guard.lastErrorText, L"ZarnelGuard initialization failed.") << "success leaves the text alone";
}

// ---- findings that end the client instead -------------------------------

struct FindingCase {
  const char* name;
  void (*stage)();
  std::wstring (*message)();
  std::wstring (*code)();
};

std::wstring ModuleMessage() {
  const ModuleRule* rule = MatchBlockedModuleName(L"speedhack-i386.dll", 18);
  return FormatText(kStartupBlockedModuleFormat, rule->displayName, rule->code);
}
std::wstring ProgramMessage() {
  const BlockRule* rule = MatchBlockedProgramName(L"wemod.exe", 9);
  return FormatText(kStartupBlockedProgramFormat, rule->displayName, rule->code);
}
std::wstring VmMessage() {
  WideBuffer detail;
  JudgeGuestServiceName(L"vmtoolsd.exe", 12, detail);
  return FormatText(kStartupVirtualMachineFormat, detail.CStr());
}
void StageModule() {
  stagedModule = L"speedhack-i386.dll";
  win32Calls.CreateToolhelp32Snapshot = StagedModuleSnapshot;
  win32Calls.Module32FirstW = StagedFirstModule;
  win32Calls.Module32NextW = NoMoreModules;
  win32Calls.CloseHandle = CloseUnlessFake;
}
void StageProcesses(std::vector<StagedProcess> processes) {
  stagedProcesses = std::move(processes);
  win32Calls.NtQuerySystemInformation = StagedProcessList;
  win32Calls.OpenProcess = NoProcessOpens;
}

const FindingCase kFindingCases[] = {
    {"debugger_not_recordable",
     [] {
       win32Calls.IsDebuggerPresent = DebuggerPresent;
       win32Calls.BCryptGenRandom = NoRandom;
     },
     [] { return std::wstring(kDebuggerEvidenceLostMessage); },
     [] { return std::wstring(L"AC-DEBUG-001"); }},
    {"blocked_module", StageModule, ModuleMessage,
     [] { return std::wstring(MatchBlockedModuleName(L"speedhack-i386.dll", 18)->code); }},
    {"virtual_machine", [] { StageProcesses({{7001, L"vmtoolsd.exe"}}); }, VmMessage,
     [] { return std::wstring(L"AC-VM-001"); }},
    {"blocked_program", [] { StageProcesses({{7002, L"explorer.exe"}, {7003, L"WeMod.exe"}}); }, ProgramMessage,
     [] { return std::wstring(MatchBlockedProgramName(L"wemod.exe", 9)->code); }},
    {"program_scan_failure",
     [] {
       win32Calls.NtQuerySystemInformation = StagedProcessList;
       processListDenied = true;
     },
     [] { return FormatText(kStartupScanFailureFormat, static_cast<unsigned long>(ERROR_ACCESS_DENIED)); },
     [] { return std::wstring(L"AC-SCAN-001"); }},
};

class StartupFinding : public StartupSequence, public testing::WithParamInterface<FindingCase> {};

// The start-up runs on the client's thread without its one-time wrapper
// here: the fatal exit ends in an exception that must not cross the system.
TEST_P(StartupFinding, EndsTheClientWithItsStartTimeMessageBeforeTheMarker) {
  const FindingCase& c = GetParam();
  c.stage();
  CatchFatalExit();
  try {
    RunStartupSequence(nullptr, nullptr, nullptr);
    ADD_FAILURE() << "the start-up returned";
  } catch (const ProcessEnded& ended) {
    EXPECT_EQ(ended.exitCode, 13u);
  }
  EXPECT_EQ(std::wstring(guard.lastErrorText), c.message()) << Narrow(guard.lastErrorText);
  EXPECT_EQ(hard_cheat_test::HelperLaunches(), 1) << "the guard was running, so the helper is started";
  EXPECT_EQ(hard_cheat_test::HelperCode(), c.code());
  EXPECT_EQ(ledger.mutexCalls, 0);
  EXPECT_EQ(ledger.threadCalls, 0);
}

INSTANTIATE_TEST_SUITE_P(Table, StartupFinding, testing::ValuesIn(kFindingCases),
                         [](const testing::TestParamInfo<FindingCase>& i) { return std::string(i.param.name); });

// A copy of bcrypt.dll that the game loaded from its own directory is what
// ncrypt and CryptoAPI would bind to: the first step ends the client before
// a single client file is hashed through it. The guard is not running yet,
// so no error helper is started.
const wchar_t* plantedCryptoPath;
BOOL WINAPI PlantedCryptoFirstModule(HANDLE, LPMODULEENTRY32W entry) {
  wcscpy(entry->szModule, L"bcrypt.dll");
  wcscpy(entry->szExePath, plantedCryptoPath);
  return TRUE;
}
int hashContextsAcquired;
BOOL WINAPI CountedAcquireContext(HCRYPTPROV* provider, LPCWSTR container, LPCWSTR name, DWORD type, DWORD flags) {
  ++hashContextsAcquired;
  return CryptAcquireContextW(provider, container, name, type, flags);
}

TEST_F(StartupSequence, ACryptoLibraryLoadedFromBesideTheClientEndsItBeforeAnyFileIsHashed) {
  const std::wstring planted = dir.Path() + L"bcrypt.dll";
  plantedCryptoPath = planted.c_str();
  win32Calls.CreateToolhelp32Snapshot = StagedModuleSnapshot;
  win32Calls.Module32FirstW = PlantedCryptoFirstModule;
  win32Calls.Module32NextW = NoMoreModules;
  win32Calls.CloseHandle = CloseUnlessFake;
  hashContextsAcquired = 0;
  win32Calls.CryptAcquireContextW = CountedAcquireContext;
  CatchFatalExit();
  try {
    RunStartupSequence(nullptr, nullptr, nullptr);
    ADD_FAILURE() << "the start-up returned";
  } catch (const ProcessEnded& ended) {
    EXPECT_EQ(ended.exitCode, 13u);
  }
  EXPECT_EQ(std::wstring(guard.lastErrorText),
            FormatText(kStartupBlockedModuleFormat, kDefaultModuleName, L"AC-MODULE-000"));
  EXPECT_EQ(hashContextsAcquired, 0) << "a client file was hashed through the planted library";
  EXPECT_EQ(guard.coreFiles.count, 0u);
  EXPECT_EQ(hard_cheat_test::HelperLaunches(), 0) << "not running yet: no error helper";
}

TEST_F(StartupSequence, AHardCheatToolHoldingTheClientIsRecordedOrEndsTheClientWhenItCannotBe) {
  AccessHolder holder(PROCESS_VM_READ | PROCESS_QUERY_LIMITED_INFORMATION);
  ASSERT_TRUE(holder.Started());
  const BlockRule* rule = MatchBlockedProgramName(L"cheatengine-x86_64.exe", 22);
  ASSERT_TRUE(rule && rule->category == kHardCheatCategory);
  stagedProcesses = {{holder.Id(), L"cheatengine-x86_64.exe"}};
  win32Calls.NtQuerySystemInformation = StagedProcessList;

  // Not recordable: the client ends with the evidence message.
  CatchFatalExit();
  win32Calls.BCryptGenRandom = NoRandom;
  try {
    RunStartupSequence(nullptr, nullptr, nullptr);
    ADD_FAILURE() << "the start-up returned";
  } catch (const ProcessEnded&) {
  }
  EXPECT_STREQ(guard.lastErrorText, kHardCheatEvidenceLostMessage);
  EXPECT_EQ(hard_cheat_test::HelperCode(), rule->code);
  EXPECT_FALSE(IsHardCheatDetectionPending());
  EXPECT_EQ(ledger.mutexCalls, 0);
  ZarnelGuardShutdown();
  guard.fatalExitLatch = 0;

  // Recordable: the start-up goes on and starts; the detection waits for
  // its report, and the start-time message stays in the text.
  win32Calls.BCryptGenRandom = BCryptGenRandom;
  ASSERT_NE(ZarnelGuardInitialize(), 0) << Narrow(guard.lastErrorText);
  EXPECT_TRUE(IsHardCheatDetectionPending());
  EXPECT_EQ(guard.hardCheat.violation, 3);
  std::wstring expected = TextBeforeFirstField(kStartupBlockedProgramFormat) + rule->displayName;
  EXPECT_EQ(std::wstring(guard.lastErrorText).substr(0, expected.size()), expected);
  ExpectRunning(kDeviceKeyKindPlatform);
}

// ---- a pending detection --------------------------------------------------

TEST_F(StartupSequence, ARecordedDebuggerDetectionLetsTheStartUpTolerateEveryLaterFinding) {
  win32Calls.IsDebuggerPresent = DebuggerPresent;
  StageModule();
  StageProcesses({{7001, L"vmtoolsd.exe"}, {7003, L"wemod.exe"}});
  CatchFatalExit();
  ASSERT_NE(ZarnelGuardInitialize(), 0) << Narrow(guard.lastErrorText);
  EXPECT_EQ(hard_cheat_test::HelperLaunches(), 0);
  EXPECT_TRUE(IsHardCheatDetectionPending());
  EXPECT_EQ(guard.hardCheat.violation, 1);
  EXPECT_EQ(std::wstring(guard.lastErrorText), ProgramMessage()) << "the last tolerated finding's message stays";
  ExpectRunning(kDeviceKeyKindPlatform);
}

TEST_F(StartupSequence, ADetectionRecordedByAFailedRunStaysPendingForTheNext) {
  win32Calls.IsDebuggerPresent = DebuggerPresent;
  otherClientsMarker = CreateMutexW(nullptr, FALSE, ledger.privateMarker.c_str());
  EXPECT_EQ(ZarnelGuardInitialize(), 0);
  EXPECT_STREQ(guard.lastErrorText, L"Only one Zarnel client can run on this Windows machine.");
  EXPECT_TRUE(IsHardCheatDetectionPending());
  CloseHandle(otherClientsMarker);
  otherClientsMarker = nullptr;

  // The second run records nothing new: the first detection stands.
  uint8_t reportId[sizeof(guard.hardCheat.reportId)];
  std::memcpy(reportId, guard.hardCheat.reportId, sizeof(reportId));
  ASSERT_NE(ZarnelGuardInitialize(), 0) << Narrow(guard.lastErrorText);
  EXPECT_EQ(std::memcmp(reportId, guard.hardCheat.reportId, sizeof(reportId)), 0);
}

// ---- two threads at once -------------------------------------------------

DWORD WINAPI InitializeOnThread(LPVOID result) {
  *static_cast<int32_t*>(result) = ZarnelGuardInitialize();
  return 0;
}

TEST_F(StartupSequence, TwoThreadsStartingAtOnceRunTheSequenceOnce) {
  int32_t results[2] = {-1, -1};
  HANDLE threads[2];
  for (int i = 0; i < 2; ++i) threads[i] = CreateThread(nullptr, 0, InitializeOnThread, &results[i], 0, nullptr);
  ASSERT_EQ(WaitForMultipleObjects(2, threads, TRUE, 120000), WAIT_OBJECT_0) << "a caller never returned";
  for (HANDLE t : threads) CloseHandle(t);
  EXPECT_NE(results[0], 0);
  EXPECT_NE(results[1], 0);
  EXPECT_EQ(ledger.mutexCalls, 1) << "a second run would have met this process's own marker";
  ExpectRunning(kDeviceKeyKindPlatform);
}
}  // namespace
#endif  // ZG_SAMPLE_CLIENT_DIR
