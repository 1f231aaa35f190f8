// Every system call the guard makes through its call table fails once, in
// turn, during a start-up, a login proof and a hard-cheat exchange against a
// copy of the sample client. Each run must end in a documented message or a
// documented fatal exit, and a run that returns must leave no handle, thread,
// key, marker or held file behind.
//
// One wrapper per table entry (generated from platform/win32_call_list.h) sits in
// front of an "environment" table: the real calls, except that the guard's
// module lies in the client copy, the fatal exit throws instead of ending the
// test program, and the error helper launch is only recorded. A counting run
// first finds the call sites (entry and return address) that a scenario
// reaches on this thread; then each site fails at its first and at its last
// call, which covers both "nothing held yet" and "most held" for the calls
// made in loops (the 8 core files, the 17 archives).
#include <gtest/gtest.h>
#include <windows.h>
#include <tlhelp32.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "checks/finding_texts.h"
#include "core/startup_sequence.h"
#include "hard_cheat_fixture.h"
#include "integrity/guard_manifest.h"
#include "integrity/held_client_files.h"
#include "standin_ksp_fixture.h"
#include "../e2e/process_handle_count.h"

#ifdef ZG_SAMPLE_CLIENT_DIR
namespace {
enum CallIndex {
#define WIN32_CALL(name) k##name,
#include "platform/win32_call_list.h"
#undef WIN32_CALL
  kCallCount
};

const char* const kCallNames[] = {
#define WIN32_CALL(name) #name,
#include "platform/win32_call_list.h"
#undef WIN32_CALL
};

// Calls that have no failure to report: they are forwarded, never failed.
// TerminateProcess is failed only in a process of its own (the fatal exit
// then ends the process with ExitProcess; fatal_exit_test's
// terminate_returns case), never in this one.
bool CannotFail(int index) {
  return index == kTerminateProcess || index == kSleep || index == kDeleteProcThreadAttributeList || index == kGetTickCount64 ||
         index == kGetTickCount || index == kGetCurrentProcessId || index == kIsDebuggerPresent ||
         index == kRtlNtStatusToDosError;
}

// Releases that "fail" still release: a close that reports failure on a
// valid handle is the plausible fault, and a close that kept the handle
// would be a leak of the test's own making.
bool IsRelease(int index) {
  return index == kCloseHandle || index == kCryptDestroyHash || index == kCryptReleaseContext ||
         index == kNCryptFreeObject || index == kRegCloseKey || index == kFreeLibrary;
}

constexpr LONG kStatusAccessDenied = static_cast<LONG>(0xC0000022);

// The result each call gives when it fails.
template <int Index, typename R>
R FailureValue() {
  if constexpr (Index == kCreateFileW || Index == kCreateToolhelp32Snapshot) {
    return INVALID_HANDLE_VALUE;
  } else if constexpr (Index == kWaitForSingleObject) {
    return WAIT_FAILED;
  } else if constexpr (Index == kNCryptOpenStorageProvider || Index == kNCryptOpenKey ||
                       Index == kNCryptCreatePersistedKey || Index == kNCryptSetProperty ||
                       Index == kNCryptFinalizeKey || Index == kNCryptGetProperty || Index == kNCryptExportKey ||
                       Index == kNCryptSignHash || Index == kNCryptFreeObject) {
    return static_cast<R>(NTE_FAIL);
  } else if constexpr (Index == kRegOpenKeyExW || Index == kRegQueryValueExW || Index == kRegCloseKey) {
    return static_cast<R>(ERROR_ACCESS_DENIED);
  } else if constexpr (Index == kNtQueryInformationProcess || Index == kNtQuerySystemInformation || Index == kNtQueryObject ||
                       Index == kBCryptGenRandom) {
    return static_cast<R>(kStatusAccessDenied);
  } else {
    return R{};  // null handle, FALSE, 0 characters
  }
}

// What a failing call leaves in its handle outputs. Real providers and the
// system do write there on some failures; a guard that closed such a value
// would close whatever handle of the game happened to carry it, and one that
// kept it would use it later. Recognisable, so that any later call that gets
// it as its first argument (a close, a property read) is caught, and never
// forwarded.
constexpr uintptr_t kFailedCallLeftover = 0x5EC0DE1C;
int leftoverTouches = 0;
std::string leftoverToucher;

template <typename T>
void LeaveLeftover(T* output) {
  if (!output) return;
  if constexpr (std::is_pointer_v<T>) {
    *output = reinterpret_cast<T>(kFailedCallLeftover);
  } else {
    *output = static_cast<T>(kFailedCallLeftover);
  }
}

template <typename T>
bool IsLeftover(T value) {
  if constexpr (std::is_pointer_v<T>) {
    return reinterpret_cast<uintptr_t>(value) == kFailedCallLeftover;
  } else if constexpr (std::is_integral_v<T> && sizeof(T) == sizeof(uintptr_t)) {
    return static_cast<uintptr_t>(value) == kFailedCallLeftover;
  } else {
    return false;
  }
}

template <int Index, typename... Args>
void LeaveLeftovers(Args... args) {
  auto arguments = std::make_tuple(args...);
  if constexpr (Index == kCryptAcquireContextW || Index == kNCryptOpenStorageProvider) {
    LeaveLeftover(std::get<0>(arguments));
  } else if constexpr (Index == kNCryptOpenKey || Index == kNCryptCreatePersistedKey) {
    LeaveLeftover(std::get<1>(arguments));
  } else if constexpr (Index == kDuplicateHandle) {
    LeaveLeftover(std::get<3>(arguments));
  } else if constexpr (Index == kCryptCreateHash || Index == kRegOpenKeyExW) {
    LeaveLeftover(std::get<4>(arguments));
  } else if constexpr (Index == kNtQueryInformationProcess) {
    // The debug object query hands out a handle of its own.
    constexpr ULONG kProcessDebugObjectHandle = 30;
    if (static_cast<ULONG>(std::get<1>(arguments)) == kProcessDebugObjectHandle &&
        std::get<3>(arguments) >= sizeof(HANDLE))
      LeaveLeftover(static_cast<HANDLE*>(std::get<2>(arguments)));
  } else if constexpr (Index == kCreateProcessW) {
    if (PROCESS_INFORMATION* started = std::get<9>(arguments)) {
      LeaveLeftover(&started->hProcess);
      LeaveLeftover(&started->hThread);
    }
  }
}

// ---- the sweep's control: which call fails, and the counting of sites ----
struct SiteKey {
  int index;
  void* site;
  bool operator<(const SiteKey& other) const {
    return index != other.index ? index < other.index : site < other.site;
  }
};

struct SweepControl {
  DWORD thread = 0;        // only this thread's calls are counted or failed
  bool armed = false;      // inside a scenario's fault window
  bool counting = false;   // counting run: record sites, fail nothing
  std::map<SiteKey, int> counts;
  SiteKey target = {-1, nullptr};
  int targetOccurrence = 0;
  int seen = 0;
  bool injected = false;
} sweep;

// True when this call is the one to fail.
bool Intercept(int index, void* site) {
  if (!sweep.armed || GetCurrentThreadId() != sweep.thread) return false;
  if (sweep.counting) {
    ++sweep.counts[SiteKey{index, site}];
    return false;
  }
  if (index != sweep.target.index || site != sweep.target.site || sweep.injected) return false;
  if (++sweep.seen != sweep.targetOccurrence) return false;
  sweep.injected = true;
  return true;
}

// What the wrappers forward to.
Win32Calls environment;

template <int Index>
struct Entry;
#define WIN32_CALL(name)                                              \
  template <>                                                         \
  struct Entry<k##name> {                                             \
    using Fn = decltype(&::name);                                     \
    static Fn Get(const Win32Calls& table) { return table.name; }     \
    static void Set(Win32Calls& table, Fn fn) { table.name = fn; }    \
  };
#include "platform/win32_call_list.h"
#undef WIN32_CALL

template <int Index, typename Fn>
struct FailingWrapper;
template <int Index, typename R, typename... Args>
struct FailingWrapper<Index, R(WINAPI*)(Args...)> {
  static R WINAPI Call(Args... args) {
    void* site = __builtin_return_address(0);
    if constexpr (sizeof...(Args) > 0) {
      if (IsLeftover(std::get<0>(std::make_tuple(args...)))) {
        ++leftoverTouches;
        leftoverToucher = kCallNames[Index];
        if constexpr (std::is_void_v<R>) {
          return;
        } else {
          SetLastError(ERROR_INVALID_HANDLE);
          return FailureValue<Index, R>();
        }
      }
    }
    if constexpr (std::is_void_v<R>) {
      Intercept(Index, site);
      Entry<Index>::Get(environment)(args...);
    } else {
      if (!Intercept(Index, site) || CannotFail(Index)) return Entry<Index>::Get(environment)(args...);
      if (IsRelease(Index)) Entry<Index>::Get(environment)(args...);
      LeaveLeftovers<Index>(args...);
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return FailureValue<Index, R>();
    }
  }
};

void InstallWrappers() {
#define WIN32_CALL(name) \
  Entry<k##name>::Set(win32Calls, &FailingWrapper<k##name, Entry<k##name>::Fn>::Call);
#include "platform/win32_call_list.h"
#undef WIN32_CALL
}

// ---- the environment: the client copy, a caught fatal exit ----
std::wstring clientCopy;
DWORD WINAPI ModuleInClientCopy(HMODULE, LPWSTR buffer, DWORD size) {
  std::wstring path = clientCopy + L"ZarnelGuard.dll";
  if (path.size() + 1 > size) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return size;
  }
  wcscpy(buffer, path.c_str());
  return static_cast<DWORD>(path.size());
}

// A debugger that only the sweep's thread sees, so that the monitor thread
// never records the detection in its place.
bool debuggerOnSweepThread = false;
BOOL WINAPI DebuggerOnSweepThread() {
  return debuggerOnSweepThread && GetCurrentThreadId() == sweep.thread ? TRUE : IsDebuggerPresent();
}

std::wstring WindowsPath(const char* text) {
  std::wstring path(text, text + strlen(text));
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

// ---- what a run leaves behind ----
DWORD ThreadCount() {
  DWORD count = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  CloseHandle(snapshot);
  return count;
}

struct Footprint {
  DWORD handles = 0;
  DWORD threads = 0;
  LONG kspObjects = 0;
};

Footprint TakeFootprint(LONG(WINAPI* kspObjects)()) {
  Footprint footprint;
  footprint.handles = CountOwnHandles();
  footprint.threads = ThreadCount();
  footprint.kspObjects = kspObjects();
  return footprint;
}

// ---- documented outcomes ----
const wchar_t* const kStartupFailurePrefixes[] = {
    L"A required Zarnel client file is missing. It may have been deleted or quarantined: ",
    L"A required Zarnel client file stayed locked by another program: ",
    L"Access to a required Zarnel client file was denied after retrying: ",
    L"A required Zarnel client file could not be opened: ",
    L"A Zarnel client file is a reparse point: ",
    L"A Zarnel client file has an unexpected hard-link count: ",
    L"A Zarnel client file resolves outside its expected path: ",
    L"A Zarnel client file could not be hashed: ",
    L"A Zarnel client file has an unexpected size: ",
    L"ZarnelGuard could not resolve the client directory.",
    L"The guard manifest contains an unsafe path: ",
    L"ZarnelGuard could not create its single-client marker: Global\\ZarnelGuard-v95-single-client-",
    L"ZarnelGuard could not build a stable machine identity from this Windows installation.",
    L"ZarnelGuard could not hash its machine identity.",
    L"ZarnelGuard could not create or open its protected device key.",
    L"ZarnelGuard could not create its stop event.",
    L"ZarnelGuard could not start its integrity monitor.",
};

std::string Narrow(const std::wstring& text) {
  std::string narrow;
  for (wchar_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) { return text.rfind(prefix, 0) == 0; }

bool IsDocumentedStartupFailure(const std::wstring& text) {
  for (const wchar_t* prefix : kStartupFailurePrefixes)
    if (StartsWith(text, prefix)) return true;
  return false;
}

struct RunOutcome {
  bool fatal = false;
  std::wstring helperCode;  // violation code the fatal exit gave the helper
  std::wstring text;        // last-error text at the end of the window
  std::string problem;      // empty when the outcome is documented
};

struct SweepFailure {
  std::string what;
};

// One scenario: what runs before the fault window (no faults), what runs in
// it, and which fatal exit it may end in.
struct Scenario {
  const char* name;
  bool freshKeyStore;  // key created by the run (else opened)
  bool (*sweeps)(int index);  // which entries to fail; null: all
  std::function<void()> setup;
  std::function<void(RunOutcome&)> window;
  std::function<std::string(const RunOutcome&)> checkFatalExit;
};

class FaultSweep : public StandInKspTest {
 protected:
  void SetUp() override {
    StandInKspTest::SetUp();
    if (HasFatalFailure()) return;
    std::wstring source = WindowsPath(ZG_SAMPLE_CLIENT_DIR);
    for (const GuardManifestEntry& entry : kGuardManifest)
      ASSERT_TRUE(CopyFileW((source + entry.relativePath).c_str(), (dir_.Path() + entry.relativePath).c_str(), FALSE));
    clientCopy = dir_.Path();
    kspObjects_ = reinterpret_cast<LONG(WINAPI*)()>(
        GetProcAddress(LoadSystemLibrary(kSystemLibraryNcrypt), "StandInKspOpenObjectCount"));
    sweep = SweepControl{};
    sweep.thread = GetCurrentThreadId();
  }

  void TearDown() override {
    sweep.armed = false;
    CleanUp();
    StandInKspTest::TearDown();
  }

  // A fresh guard, the environment and the wrappers.
  void PrepareGuard(bool freshKeyStore) {
    ResetGuardForTest();
    if (freshKeyStore) RemoveDirectoryTree(store_);
    environment = win32Calls;
    environment.GetModuleFileNameW = ModuleInClientCopy;
    environment.TerminateProcess = hard_cheat_test::EndByThrowing;
    environment.CreateProcessW = hard_cheat_test::RecordHelperLaunch;
    environment.IsDebuggerPresent = DebuggerOnSweepThread;
    debuggerOnSweepThread = false;
    hard_cheat_test::HelperCode().clear();
    hard_cheat_test::HelperLaunches() = 0;
    leftoverTouches = 0;
    leftoverToucher.clear();
    InstallWrappers();
  }

  // What a client's end releases: the monitor, the key, the held files and
  // the marker. After a caught fatal exit the guard may be in any state.
  void CleanUp() {
    sweep.armed = false;
    debuggerOnSweepThread = false;
    try {
      ZarnelGuardShutdown();
    } catch (const ProcessEnded&) {
    }
    ReleaseDeviceKey();
    ReleaseCoreFileHandles();
    ReleaseClientArchiveHandles();
    if (guard.singleClientMutex) CloseHandle(guard.singleClientMutex);
    guard.singleClientMutex = nullptr;
  }

  // Runs one scenario; `counting` finds the sites, otherwise the site fails
  // at `occurrence`. Returns a description of what went wrong, or "".
  std::string RunOnce(const Scenario& scenario, bool counting, SiteKey target, int occurrence, bool& injected) {
    PrepareGuard(scenario.freshKeyStore);
    Footprint before = TakeFootprint(kspObjects_);
    RunOutcome outcome;
    try {
      scenario.setup();
    } catch (const ProcessEnded&) {
      CleanUp();
      return "the fault-free setup ended the process: " + Narrow(guard.lastErrorText);
    }
    sweep.counting = counting;
    if (counting) sweep.counts.clear();
    sweep.target = target;
    sweep.targetOccurrence = occurrence;
    sweep.seen = 0;
    sweep.injected = false;
    sweep.armed = true;
    try {
      scenario.window(outcome);
    } catch (const ProcessEnded& ended) {
      outcome.fatal = true;
      outcome.helperCode = hard_cheat_test::HelperCode();
      outcome.text = guard.lastErrorText;
      if (ended.exitCode != kFatalExitCode) outcome.problem = "exit code " + std::to_string(ended.exitCode);
    }
    sweep.armed = false;
    injected = sweep.injected;
    if (outcome.fatal && outcome.problem.empty()) outcome.problem = scenario.checkFatalExit(outcome);
    bool fatal = outcome.fatal;
    CleanUp();
    std::string problem = outcome.problem;
    // A process that took the fatal exit is gone with all it held; anything
    // else must give back exactly what it took.
    if (problem.empty() && !fatal) problem = LeftBehind(before);
    if (problem.empty()) problem = LeftoverProblem();
    return problem;
  }

  // Whether the guard, or the clean-up of what it held, used a value that a
  // failed call wrote.
  static std::string LeftoverProblem() {
    if (leftoverTouches == 0) return "";
    return "a value written by a failed call reached " + leftoverToucher + " (" + std::to_string(leftoverTouches) +
           " times)";
  }

  std::string LeftBehind(const Footprint& before) {
    std::string problem;
    // The monitor thread may take a moment to be gone from the snapshot.
    Footprint after = TakeFootprint(kspObjects_);
    for (int i = 0; i < 100 && after.threads != before.threads; ++i) {
      Sleep(10);
      after = TakeFootprint(kspObjects_);
    }
    if (after.handles != before.handles)
      problem += " handles " + std::to_string(before.handles) + "->" + std::to_string(after.handles) + ";";
    if (after.threads != before.threads)
      problem += " threads " + std::to_string(before.threads) + "->" + std::to_string(after.threads) + ";";
    if (after.kspObjects != before.kspObjects)
      problem += " provider objects " + std::to_string(before.kspObjects) + "->" + std::to_string(after.kspObjects) + ";";
    if (guard.coreFiles.count || guard.archiveFiles.count || guard.stopEvent || guard.monitorThread ||
        guard.singleClientMutex || guard.deviceKey || guard.deviceKeyProvider || IsGuardRunning())
      problem += " guard state not empty;";
    for (const GuardManifestEntry& entry : kGuardManifest) {
      HANDLE file = CreateFileW((clientCopy + entry.relativePath).c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
      if (file == INVALID_HANDLE_VALUE) {
        problem += " file still held: " + Narrow(entry.relativePath) + ";";
        break;
      }
      CloseHandle(file);
    }
    SetLastError(0);
    HANDLE marker = CreateMutexW(nullptr, FALSE,
                                 L"Global\\ZarnelGuard-v95-single-client-74249B15-AC70-48D2-AE27-3678C60128DA");
    if (GetLastError() == ERROR_ALREADY_EXISTS) problem += " single-client marker still open;";
    if (marker) CloseHandle(marker);
    return problem;
  }

  // The whole sweep of one scenario; returns the number of runs.
  int Sweep(const Scenario& scenario) {
    bool injected = false;
    // The process's first start-up keeps a handle or two for good (system
    // libraries loaded on first use); only what comes after is compared.
    RunOnce(scenario, true, SiteKey{-1, nullptr}, 0, injected);
    std::string problem = RunOnce(scenario, true, SiteKey{-1, nullptr}, 0, injected);
    EXPECT_EQ(problem, "") << scenario.name << ": the run without faults";
    std::map<SiteKey, int> sites = sweep.counts;
    EXPECT_FALSE(sites.empty());
    int runs = 0;
    for (const auto& [site, count] : sites) {
      if (CannotFail(site.index) || (scenario.sweeps && !scenario.sweeps(site.index))) continue;
      std::vector<int> occurrences = {1};
      if (count > 1) occurrences.push_back(count);
      for (int occurrence : occurrences) {
        ++runs;
        problem = RunOnce(scenario, false, site, occurrence, injected);
        // The process list can change between runs, so a call inside the
        // scan loops need not come back as often; its first call must.
        if (occurrence == 1)
          EXPECT_TRUE(injected) << scenario.name << ": " << kCallNames[site.index] << " was not reached again";
        EXPECT_EQ(problem, "") << scenario.name << ": " << kCallNames[site.index] << " at " << site.site
                               << " failing at call " << occurrence << " of " << count;
      }
    }
    return runs;
  }

  TempDirectory dir_;
  LONG(WINAPI* kspObjects_)() = nullptr;
};

// A start-up outside the one-time initialisation, so that a caught fatal
// exit never unwinds through the system's frames; a success is then marked
// done, as InitOnceExecuteOnce would.
bool StartDirectly() {
  if (!RunStartupSequence(&guard.startupOnce, nullptr, nullptr)) return false;
  hard_cheat_test::MarkStartupDone();
  return true;
}

std::string CheckStartupOutcome(bool started, const RunOutcome&) {
  std::wstring text = guard.lastErrorText;
  if (started) return text == L"ZarnelGuard initialization failed." ? "" : "a success changed the text";
  if (!IsDocumentedStartupFailure(text)) return "undocumented start-up message: " + Narrow(text);
  return "";
}

// Only a scanner failure may end a start-up or a login proof: a failed call
// must never look like a finding. The Windows error in its text is whichever
// the failed call left, so only the words before it are compared.
std::string CheckScanFailureExit(const RunOutcome& outcome, const wchar_t* format) {
  if (hard_cheat_test::HelperLaunches() != 1 || outcome.helperCode != L"AC-SCAN-001" ||
      !StartsWith(outcome.text, TextBeforeFirstField(format).c_str()))
    return "undocumented fatal exit " + Narrow(outcome.helperCode) + ": " + Narrow(outcome.text);
  return "";
}

struct LoginChallenge {
  uint8_t id[16];
  uint8_t nonce[32];
  uint8_t name[32] = {};
  LoginChallenge() {
    for (int i = 0; i < 16; ++i) id[i] = static_cast<uint8_t>(0x31 + i);
    for (int i = 0; i < 32; ++i) nonce[i] = static_cast<uint8_t>(0x71 + i);
    std::memcpy(name, "sweep.player", 12);
  }
  std::vector<uint8_t> Record(uint8_t kind, const uint8_t* digest, const uint8_t* publicKey) const {
    std::vector<uint8_t> record(217, 0);
    std::memcpy(record.data(), "ZARNEL-GUARD-PROOF-V2", 21);
    record[22] = 2;
    record[26] = 62;
    record[30] = 62;
    std::memcpy(&record[31], id, 16);
    std::memcpy(&record[47], nonce, 32);
    record[79] = kind;
    record[80] = 12;
    std::memcpy(&record[81], name, 32);
    std::memcpy(&record[113], digest, 32);
    std::memcpy(&record[145], publicKey, 72);
    return record;
  }
};

// A login proof: 1 with a signature that verifies, or 0 with its message and
// every output zero.
std::string CreateAndCheckLoginProof() {
  LoginChallenge challenge;
  uint32_t build = 0xEEEEEEEE;
  uint8_t kind = 0xEE, digest[32], publicKey[72], signature[64];
  std::memset(digest, 0xEE, 32);
  uint32_t result = ZarnelGuardCreateLoginProof(2, 62, challenge.id, challenge.nonce, challenge.name, 12, &build,
                                                &kind, digest, publicKey, signature);
  if (result == 1) {
    if (build != 62 || (kind != 1 && kind != 2)) return "proof with wrong build or kind";
    if (!hard_cheat_test::VerifySignature(publicKey, challenge.Record(kind, digest, publicKey), signature))
      return "a proof whose signature does not verify";
    return "";
  }
  bool zeroed = build == 0 && kind == 0 && IsAllZeroBytes(digest, 32) && IsAllZeroBytes(publicKey, 72) &&
                IsAllZeroBytes(signature, 64);
  if (!zeroed) return "a failed proof left outputs set";
  if (std::wstring(guard.lastErrorText) != L"ZarnelGuard could not sign the login challenge.")
    return "undocumented login-proof message: " + Narrow(guard.lastErrorText);
  return "";
}

bool IsKeyStoreCall(int index) {
  return index == kNCryptOpenStorageProvider || index == kNCryptOpenKey || index == kNCryptCreatePersistedKey ||
         index == kNCryptSetProperty || index == kNCryptFinalizeKey || index == kNCryptGetProperty ||
         index == kNCryptExportKey || index == kNCryptSignHash || index == kNCryptFreeObject;
}

// The start-up that opens an existing key is swept whole; the one that
// creates the key differs only in its key store calls.
TEST_F(FaultSweep, EveryCallFailingDuringTheStartUpEndsInADocumentedOutcomeAndLeavesNothingBehind) {
  for (bool fresh : {true, false}) {
    Scenario startup{fresh ? "start-up creating the key" : "start-up opening the key", fresh,
                     fresh ? IsKeyStoreCall : nullptr,
                     [fresh, this] {
                       // The key exists before a start-up that opens it.
                       if (!fresh) {
                         ASSERT_TRUE(AcquireDeviceKey());
                         ReleaseDeviceKey();
                       }
                     },
                     [](RunOutcome& outcome) {
                       bool started = StartDirectly();
                       outcome.problem = CheckStartupOutcome(started, outcome);
                     },
                     [](const RunOutcome& outcome) {
                       return CheckScanFailureExit(outcome, kStartupScanFailureFormat);
                     }};
    int runs = Sweep(startup);
    RecordProperty(fresh ? "startup_fresh_runs" : "startup_open_runs", runs);
  }
}

TEST_F(FaultSweep, EveryCallFailingDuringALoginProofEndsInADocumentedOutcomeAndLeavesNothingBehind) {
  Scenario login{"login proof", false, nullptr, [] { ASSERT_TRUE(StartDirectly()) << Narrow(guard.lastErrorText); },
                 [](RunOutcome& outcome) { outcome.problem = CreateAndCheckLoginProof(); },
                 [](const RunOutcome& outcome) {
                   return CheckScanFailureExit(outcome, kPreLoginScanFailureFormat);
                 }};
  RecordProperty("login_runs", Sweep(login));
}

// The exchange: a held challenge, a debugger seen by the pre-login checks
// (the detection is confirmed and the report signed), the report taken and
// acknowledged. It always ends the process: with the recorded message, or
// with the "could not be retained" one when the detection could not be
// recorded.
TEST_F(FaultSweep, EveryCallFailingDuringAHardCheatExchangeEndsTheProcessAsDocumented) {
  Scenario exchange{
      "hard-cheat exchange", false, nullptr, [] { ASSERT_TRUE(StartDirectly()) << Narrow(guard.lastErrorText); },
      [](RunOutcome& outcome) {
        hard_cheat_test::Challenge challenge(0x20);
        if (challenge.Set() != 1) {
          outcome.problem = "a valid challenge was refused";
          return;
        }
        debuggerOnSweepThread = true;
        std::string proof = CreateAndCheckLoginProof();
        debuggerOnSweepThread = false;
        if (!proof.empty()) {
          outcome.problem = proof;
          return;
        }
        std::vector<uint8_t> report = hard_cheat_test::TakeReport();
        if (report.size() != 241) {
          outcome.problem = "a recorded detection without a report";
          return;
        }
        ZarnelGuardAcknowledgeHardCheatReport(&report[9], 1);
        outcome.problem = "the acknowledgement returned";
      },
      nullptr};  // every end is checked below
  int runs = 0;
  // Every run ends in a fatal exit; check which one.
  bool injected = false;
  std::string problem;
  auto checked = [&](SiteKey site, int occurrence, bool counting) {
    PrepareGuard(false);
    sweep.counting = counting;
    sweep.target = site;
    sweep.targetOccurrence = occurrence;
    sweep.seen = 0;
    sweep.injected = false;
    RunOutcome outcome;
    try {
      exchange.setup();
      sweep.armed = true;
      exchange.window(outcome);
    } catch (const ProcessEnded& ended) {
      outcome.fatal = ended.exitCode == kFatalExitCode;
      outcome.helperCode = hard_cheat_test::HelperCode();
      outcome.text = guard.lastErrorText;
    }
    sweep.armed = false;
    injected = sweep.injected;
    CleanUp();
    if (!outcome.problem.empty()) return outcome.problem;
    if (std::string leftover = LeftoverProblem(); !leftover.empty()) return leftover;
    if (!outcome.fatal) return std::string("the exchange did not end the process");
    // A fault in the helper launch leaves the helper unstarted, and with it
    // the code unseen; the message still says how the process ended.
    if (outcome.helperCode != L"AC-DEBUG-001" && !(injected && hard_cheat_test::HelperLaunches() == 0))
      return "violation code " + Narrow(outcome.helperCode);
    if (outcome.text != kDebuggerMessage && outcome.text != kDebuggerEvidenceLostMessage)
      return "undocumented end: " + Narrow(outcome.text);
    return std::string();
  };
  problem = checked(SiteKey{-1, nullptr}, 0, true);
  EXPECT_EQ(problem, "") << "the run without faults";
  std::map<SiteKey, int> sites = sweep.counts;
  for (const auto& [site, count] : sites) {
    if (CannotFail(site.index)) continue;
    std::vector<int> occurrences = {1};
    if (count > 1) occurrences.push_back(count);
    for (int occurrence : occurrences) {
      ++runs;
      problem = checked(site, occurrence, false);
      if (occurrence == 1) EXPECT_TRUE(injected) << kCallNames[site.index] << " was not reached again";
      EXPECT_EQ(problem, "") << kCallNames[site.index] << " at " << site.site << " failing at call " << occurrence
                             << " of " << count;
    }
  }
  RecordProperty("exchange_runs", runs);
}
}  // namespace
#endif  // ZG_SAMPLE_CLIENT_DIR
