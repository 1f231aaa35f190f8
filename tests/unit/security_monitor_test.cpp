// The security monitor run on the test thread against a scripted world: its
// clock, random source and stop-event waits come through the call table, its
// checks through the monitor's check table, and its fatal exit ends in a
// caught exception. Time passes only when the monitor waits.
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "checks/finding_texts.h"
#include "core/security_monitor.h"
#include "hard_cheat_fixture.h"
#include "integrity/guard_manifest.h"
#include "proofs/hard_cheat_texts.h"

namespace {
using namespace hard_cheat_test;

const HANDLE kFakeStopEvent = reinterpret_cast<HANDLE>(0x5170);

struct PassRecord {
  bool modules = false;
  char programScan = '-';  // 'F' full, 'Q' quick, '-' none
  bool virtualMachine = false;
  bool files = false;
};

struct StagedProgram {
  ProgramScanResult result;
  const BlockRule* rule;
  bool holdsGameAccess;
  uint32_t accessMask;
  DWORD windowsError;
};

// What the monitor meets, pass by pass (passes count from 1).
struct MonitorWorld {
  size_t stopAtWait = 200;  // the wait that sees the stop event
  size_t failAtWait = 0;
  std::deque<uint32_t> randoms;
  uint32_t defaultRandom = 0;
  bool randomFails = false;
  std::vector<DWORD> waits;
  std::vector<PassRecord> passes;
  std::map<size_t, uint64_t> clockAtWait;  // ClockNow() when each wait began
  int debuggerAtPass = 0;
  int moduleAtPass = 0;
  const ModuleRule* moduleRule = nullptr;
  std::map<int, StagedProgram> programs;
  int virtualMachineAtPass = 0;
  int fileFailureAtPass = 0;
  bool realFileCheck = false;
  std::function<void(size_t wait)> beforeWait;
} world;

int Pass() { return static_cast<int>(world.passes.size()); }

DWORD WINAPI ScriptedWait(HANDLE handle, DWORD milliseconds) {
  if (handle != kFakeStopEvent) return WAIT_FAILED;
  world.waits.push_back(milliseconds);
  size_t wait = world.waits.size();
  world.clockAtWait[wait] = ClockNow();
  if (world.beforeWait) world.beforeWait(wait);
  if (wait == world.failAtWait) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  if (wait >= world.stopAtWait) return WAIT_OBJECT_0;
  ClockNow() += milliseconds;
  return WAIT_TIMEOUT;
}

NTSTATUS WINAPI ScriptedRandom(BCRYPT_ALG_HANDLE algorithm, PUCHAR buffer, ULONG size, ULONG flags) {
  if (algorithm || flags != BCRYPT_USE_SYSTEM_PREFERRED_RNG) return static_cast<NTSTATUS>(0xC000000D);
  if (size != sizeof(uint32_t)) return PredictableRandom(algorithm, buffer, size, flags);  // report identifiers
  if (world.randomFails) return static_cast<NTSTATUS>(0xC0000001);
  uint32_t value = world.defaultRandom;
  if (!world.randoms.empty()) {
    value = world.randoms.front();
    world.randoms.pop_front();
  }
  std::memcpy(buffer, &value, sizeof(value));
  return 0;
}

bool ScriptedDebugger() {
  world.passes.push_back({});
  return Pass() == world.debuggerAtPass;
}
bool ScriptedModules(ModuleFinding& finding) {
  world.passes.back().modules = true;
  if (Pass() != world.moduleAtPass) return false;
  finding.rule = world.moduleRule;
  return true;
}
ProgramScanResult ScriptedPrograms(bool fullScan, ProgramFinding& finding, DWORD& windowsError) {
  world.passes.back().programScan = fullScan ? 'F' : 'Q';
  windowsError = 0;
  auto staged = world.programs.find(Pass());
  if (staged == world.programs.end()) return kProgramScanClean;
  finding.rule = staged->second.rule;
  finding.holdsGameAccess = staged->second.holdsGameAccess;
  finding.accessMask = staged->second.accessMask;
  windowsError = staged->second.windowsError;
  return staged->second.result;
}
bool ScriptedVirtualMachine(WideBuffer& detail) {
  world.passes.back().virtualMachine = true;
  if (Pass() != world.virtualMachineAtPass) return false;
  return detail.Append(L"test hypervisor");
}
bool ScriptedFileCheck() {
  world.passes.back().files = true;
  if (world.realFileCheck) return RecheckCoreClientFiles();
  if (Pass() != world.fileFailureAtPass) return true;
  SetLastErrorText(L"staged file failure");
  return false;
}

struct MonitorOutcome {
  bool ended;       // the fatal exit was taken
  UINT exitCode;    // its exit code
  DWORD returned;   // the thread's result when it returned
};

class SecurityMonitor : public HardCheatTest {
 protected:
  void SetUp() override {
    HardCheatTest::SetUp();
    world = MonitorWorld{};
    ClockNow() = 1000000;
    guard.stopEvent = kFakeStopEvent;
    win32Calls.WaitForSingleObject = ScriptedWait;
    win32Calls.BCryptGenRandom = ScriptedRandom;
    monitorChecks = {ScriptedDebugger, ScriptedModules, ScriptedPrograms, ScriptedVirtualMachine, ScriptedFileCheck};
    CatchFatalExit();
  }
  void TearDown() override { RestoreMonitorChecks(); }

  static MonitorOutcome Run() {
    try {
      DWORD returned = SecurityMonitorThread(nullptr);
      return {false, 0, returned};
    } catch (const ProcessEnded& ended) {
      return {true, ended.exitCode, 0};
    }
  }
  static std::string Passes(bool PassRecord::*check) {
    std::string marks;
    for (const PassRecord& p : world.passes) marks += (p.*check) ? 'x' : '.';
    return marks;
  }
  static std::string ScanForms() {
    std::string forms;
    for (const PassRecord& p : world.passes) forms += p.programScan;
    return forms;
  }
  static void ExpectEnded(const MonitorOutcome& outcome, const std::wstring& code, const std::wstring& message) {
    EXPECT_TRUE(outcome.ended);
    EXPECT_EQ(outcome.exitCode, 13u);
    EXPECT_EQ(HelperCode(), code);
    EXPECT_EQ(std::wstring(guard.lastErrorText), message);
  }
};

// ---- timing ----
struct WaitCase {
  const char* label;
  uint32_t random;
  DWORD wait;
};
void PrintTo(const WaitCase& c, std::ostream* os) { *os << c.label; }
const WaitCase kWaitCases[] = {
    {"r_0", 0, 3000}, {"r_4000", 4000, 7000}, {"r_4001_wraps", 4001, 3000}, {"r_4002", 4002, 3001},
    {"r_max", 0xFFFFFFFFu, 3000 + 1822},
};

class MonitorPassInterval : public SecurityMonitor, public testing::WithParamInterface<WaitCase> {};

TEST_P(MonitorPassInterval, IsThreeToSevenSecondsFromTheRandomValue) {
  world.randoms = {0, 0, GetParam().random};  // full-scan, file-check, first wait
  world.stopAtWait = 1;
  MonitorOutcome outcome = Run();
  EXPECT_FALSE(outcome.ended);
  ASSERT_EQ(world.waits.size(), 1u);
  EXPECT_EQ(world.waits[0], GetParam().wait);
}

INSTANTIATE_TEST_SUITE_P(Table, MonitorPassInterval, testing::ValuesIn(kWaitCases),
                         [](const testing::TestParamInfo<WaitCase>& i) { return std::string(i.param.label); });

struct ScheduleCase {
  const char* label;
  std::deque<uint32_t> firstRandoms;
  uint32_t laterRandoms;
  size_t passes;
  std::string fullScans;   // one mark per pass: F full, Q quick
  std::string fileChecks;  // x where the VM check and file re-check ran
};
void PrintTo(const ScheduleCase& c, std::ostream* os) { *os << c.label; }

const ScheduleCase kScheduleCases[] = {
    // Every wait 3000 ms: full scans at 30 s, 60 s, 90 s; file checks at 45 s and 90 s.
    {"shortest_intervals", {}, 0, 31,
     "QQQQQQQQQFQQQQQQQQQFQQQQQQQQQFQ", "..............x..............x."},
    // Every wait 7000 ms, first full scan due at 45 s and first file check at 75 s,
    // later ones 34 s and 49 s after the last.
    {"longest_intervals", {15000, 30000}, 4000, 20, "QQQQQQFQQQQFQQQQFQQQ", "..........x......x.."},
};

class MonitorSchedule : public SecurityMonitor, public testing::WithParamInterface<ScheduleCase> {};

TEST_P(MonitorSchedule, RunsTheFullScanAndTheFileCheckOnlyWhenDue) {
  const ScheduleCase& c = GetParam();
  world.randoms = c.firstRandoms;
  world.defaultRandom = c.laterRandoms;
  world.stopAtWait = c.passes + 1;
  MonitorOutcome outcome = Run();
  ASSERT_FALSE(outcome.ended) << testing::PrintToString(std::wstring(guard.lastErrorText));
  EXPECT_EQ(outcome.returned, 0u);
  ASSERT_EQ(world.passes.size(), c.passes);
  EXPECT_EQ(ScanForms(), c.fullScans);
  EXPECT_EQ(Passes(&PassRecord::files), c.fileChecks);
  EXPECT_EQ(Passes(&PassRecord::virtualMachine), c.fileChecks) << "the VM check goes with the file check";
  EXPECT_EQ(Passes(&PassRecord::modules), std::string(c.passes, 'x'));
}

INSTANTIATE_TEST_SUITE_P(Table, MonitorSchedule, testing::ValuesIn(kScheduleCases),
                         [](const testing::TestParamInfo<ScheduleCase>& i) { return std::string(i.param.label); });

DWORD WINAPI FixedTick() { return 0x12345678; }
DWORD WINAPI FixedProcessId() { return 0x9ABC; }

TEST_F(SecurityMonitor, WithoutTheSystemGeneratorTheTickCountAndProcessIdStandIn) {
  world.randomFails = true;
  win32Calls.GetTickCount = FixedTick;
  win32Calls.GetCurrentProcessId = FixedProcessId;
  EXPECT_EQ(MonitorRandom32(), 0x12345678u ^ 0x9ABCu);
  world.stopAtWait = 3;
  Run();
  ASSERT_EQ(world.waits.size(), 3u);
  for (DWORD wait : world.waits) EXPECT_EQ(wait, 3000u + 1837u) << "3000 + (tick ^ pid) mod 4001";
}

// ---- stopping ----
TEST_F(SecurityMonitor, TheStopEventEndsTheThreadDuringAWaitWithNoCheckRun) {
  world.stopAtWait = 1;
  MonitorOutcome outcome = Run();
  EXPECT_FALSE(outcome.ended);
  EXPECT_EQ(outcome.returned, 0u);
  EXPECT_TRUE(world.passes.empty());
}

TEST_F(SecurityMonitor, AFailedWaitEndsTheClient) {
  world.failAtWait = 2;
  MonitorOutcome outcome = Run();
  ExpectEnded(outcome, L"AC-SCAN-001", kMonitorUnresponsiveMessage);
  EXPECT_EQ(world.passes.size(), 1u);
}

// ---- scan failures ----
struct ScanFailureCase {
  const char* label;
  std::string results;  // per pass: c clean, f failed
  bool ends;
};
void PrintTo(const ScanFailureCase& c, std::ostream* os) { *os << c.label; }
const ScanFailureCase kScanFailureCases[] = {
    {"single_failures_between_clean_scans", "fcfcfcf", false},
    {"two_failures_in_a_row", "cff", true},
    {"two_in_a_row_after_a_tolerated_one", "fcff", true},
};

class MonitorScanFailures : public SecurityMonitor, public testing::WithParamInterface<ScanFailureCase> {};

TEST_P(MonitorScanFailures, OnlyTwoConsecutiveFailuresEndTheClient) {
  const ScanFailureCase& c = GetParam();
  for (size_t i = 0; i < c.results.size(); ++i)
    if (c.results[i] == 'f')
      world.programs[static_cast<int>(i + 1)] = {kProgramScanFailed, nullptr, false, 0, static_cast<DWORD>(100 + i)};
  world.stopAtWait = c.results.size() + 1;
  MonitorOutcome outcome = Run();
  if (!c.ends) {
    EXPECT_FALSE(outcome.ended) << testing::PrintToString(std::wstring(guard.lastErrorText));
    EXPECT_EQ(world.passes.size(), c.results.size());
    return;
  }
  ExpectEnded(outcome, L"AC-SCAN-001",
              FormatText(kMonitorScanFailureFormat, static_cast<unsigned long>(100 + c.results.size() - 1)));
  EXPECT_EQ(world.passes.size(), c.results.size());
}

INSTANTIATE_TEST_SUITE_P(Table, MonitorScanFailures, testing::ValuesIn(kScanFailureCases),
                         [](const testing::TestParamInfo<ScanFailureCase>& i) { return std::string(i.param.label); });

// ---- findings ----
const wchar_t* const kNoNames[] = {nullptr};
const BlockRule kOrdinaryProgram = {7, L"AC-PROC-007", L"Test Macro Tool", kNoNames, kNoNames, kNoNames, 0};
const BlockRule kHardCheatProgram = {42, L"AC-PROC-042", L"Test Memory Editor", kNoNames, kNoNames, kNoNames,
                                     kHardCheatCategory};
const ModuleRule kTestModule = {3, L"AC-MODULE-003", L"Test Overlay", kNoNames};

std::wstring RunTimeProgramMessage(const wchar_t* name, const wchar_t* code) {
  return FormatText(kRunTimeBlockedProgramFormat, name, code);
}

TEST_F(SecurityMonitor, ABlockedModuleEndsTheClientWithTheRunTimeWording) {
  world.moduleAtPass = 2;
  world.moduleRule = &kTestModule;
  ExpectEnded(Run(), L"AC-MODULE-003", FormatText(kRunTimeBlockedModuleFormat, L"Test Overlay", L"AC-MODULE-003"));
  EXPECT_EQ(ScanForms(), "Q-") << "the module finding ends the pass before the program scan";
}

struct ProgramCase {
  const char* label;
  const BlockRule* rule;
  bool holdsGameAccess;
  const wchar_t* code;
};
void PrintTo(const ProgramCase& c, std::ostream* os) { *os << c.label; }
const ProgramCase kEndingPrograms[] = {
    {"ordinary_row", &kOrdinaryProgram, true, L"AC-PROC-007"},
    {"hard_cheat_row_without_access", &kHardCheatProgram, false, L"AC-PROC-042"},
};

class MonitorEndingProgram : public SecurityMonitor, public testing::WithParamInterface<ProgramCase> {};

TEST_P(MonitorEndingProgram, EndsTheClientWithTheRowsCodeAndTheRunTimeWording) {
  const ProgramCase& c = GetParam();
  world.programs[1] = {kProgramScanFinding, c.rule, c.holdsGameAccess, 0x1F0FFF, 0};
  ExpectEnded(Run(), c.code, RunTimeProgramMessage(c.rule->displayName, c.code));
  EXPECT_FALSE(IsHardCheatDetectionPending());
}

INSTANTIATE_TEST_SUITE_P(Table, MonitorEndingProgram, testing::ValuesIn(kEndingPrograms),
                         [](const testing::TestParamInfo<ProgramCase>& i) { return std::string(i.param.label); });

TEST_F(SecurityMonitor, AProgramWithoutARowEndsTheClientWithTheDefaultCode) {
  world.programs[1] = {kProgramScanFinding, nullptr, true, 0x1F0FFF, 0};
  MonitorOutcome outcome = Run();
  EXPECT_TRUE(outcome.ended);
  EXPECT_EQ(HelperCode(), L"AC-PROC-000");
  EXPECT_NE(std::wstring(guard.lastErrorText).find(L"(Code AC-PROC-000)"), std::wstring::npos);
}

// A confirmed detection stops every check: from then on the monitor only
// polls, every 250 ms, whatever else would be found.
TEST_F(SecurityMonitor, AHardCheatProgramHoldingAccessIsRecordedAndTheMonitorOnlyPolls) {
  world.randoms = {0, 0};  // file check due at 45 s, with the program found on that very pass
  world.programs[15] = {kProgramScanFinding, &kHardCheatProgram, true, 0x1F0FFF, 0};
  world.debuggerAtPass = 16;
  world.virtualMachineAtPass = 16;
  world.stopAtWait = 60;
  MonitorOutcome outcome = Run();
  ASSERT_FALSE(outcome.ended) << testing::PrintToString(std::wstring(guard.lastErrorText));
  EXPECT_EQ(world.passes.size(), 15u);
  EXPECT_FALSE(world.passes.back().files) << "a recorded detection ends the pass before the file check";
  for (size_t wait = 16; wait <= world.waits.size(); ++wait) EXPECT_EQ(world.waits[wait - 1], 250u) << wait;
  EXPECT_EQ(State().violation, 3);
  EXPECT_STREQ(State().codeText, L"AC-PROC-042");
  EXPECT_EQ(std::wstring(State().messageText), RunTimeProgramMessage(L"Test Memory Editor", L"AC-PROC-042"));
  uint8_t evidence[32];
  ASSERT_TRUE(HashHardCheatEvidence(3, L"AC-PROC-042", 0x1F0FFF, evidence));
  EXPECT_EQ(ToHex(State().evidenceDigest, 32), ToHex(evidence, 32));
  EXPECT_EQ(State().ackClockStart, 0u) << "no challenge yet: the monitor polls without a deadline";
}

NTSTATUS WINAPI NoReportIds(BCRYPT_ALG_HANDLE algorithm, PUCHAR buffer, ULONG size, ULONG flags) {
  if (size != sizeof(uint32_t)) return static_cast<NTSTATUS>(0xC0000001);
  return ScriptedRandom(algorithm, buffer, size, flags);
}

TEST_F(SecurityMonitor, AHardCheatProgramThatCannotBeRecordedEndsTheClient) {
  win32Calls.BCryptGenRandom = NoReportIds;
  world.programs[2] = {kProgramScanFinding, &kHardCheatProgram, true, 0x1F0FFF, 0};
  ExpectEnded(Run(), L"AC-PROC-042", RunTimeProgramMessage(L"Test Memory Editor", L"AC-PROC-042"));
}

TEST_F(SecurityMonitor, AHardCheatProgramWhoseReportCannotBeSignedEndsWithTheSigningMessage) {
  ASSERT_EQ(Challenge().Set(), 1u);
  win32Calls.NCryptSignHash = FailSigning;
  world.programs[1] = {kProgramScanFinding, &kHardCheatProgram, true, 0x1F0FFF, 0};
  ExpectEnded(Run(), L"AC-PROC-042", L"ZarnelGuard could not sign its hard-cheat report.");
  EXPECT_FALSE(IsHardCheatDetectionPending());
}

TEST_F(SecurityMonitor, AnActiveDebuggerIsRecordedAndNoCheckRunsAfterIt) {
  world.debuggerAtPass = 3;
  world.moduleAtPass = 4;
  world.moduleRule = &kTestModule;
  world.stopAtWait = 100;
  MonitorOutcome outcome = Run();
  ASSERT_FALSE(outcome.ended) << "no challenge ever: the monitor polls until shutdown";
  EXPECT_EQ(outcome.returned, 0u);
  ASSERT_EQ(world.passes.size(), 3u);
  EXPECT_FALSE(world.passes[2].modules) << "the pass ends at the recorded detection";
  for (size_t wait = 4; wait <= world.waits.size(); ++wait) ASSERT_EQ(world.waits[wait - 1], 250u) << wait;
  EXPECT_EQ(State().violation, 1);
  EXPECT_STREQ(State().codeText, L"AC-DEBUG-001");
  EXPECT_STREQ(State().messageText, kDebuggerMessage);
}

TEST_F(SecurityMonitor, AnActiveDebuggerThatCannotBeRecordedEndsTheClient) {
  win32Calls.BCryptGenRandom = NoReportIds;
  world.debuggerAtPass = 1;
  ExpectEnded(Run(), L"AC-DEBUG-001", kDebuggerMessage);
}

// ---- the acknowledgement deadline ----
struct DeadlineCase {
  const char* label;
  uint64_t challengeOffsetMs;  // after the poll that follows the detection
  uint64_t endsAfterClockMs;   // clock value at the poll that ends the client
};
void PrintTo(const DeadlineCase& c, std::ostream* os) { *os << c.label; }
const DeadlineCase kDeadlineCases[] = {
    {"clock_starts_on_a_poll", 0, 8000},
    {"clock_starts_between_polls", 100, 8150},
    {"clock_starts_just_after_a_poll", 1, 8249},
};

class MonitorDeadline : public SecurityMonitor, public testing::WithParamInterface<DeadlineCase> {};

TEST_P(MonitorDeadline, EndsTheClientAtTheFirstPollFrom8000MillisecondsOn) {
  const DeadlineCase& c = GetParam();
  world.debuggerAtPass = 1;
  world.stopAtWait = 100;
  uint64_t clockStart = 0;
  // Wait 2 is the first 250 ms poll; the server's challenge arrives during it.
  world.beforeWait = [&](size_t wait) {
    if (wait != 2) return;
    ClockNow() += c.challengeOffsetMs;
    ASSERT_EQ(Challenge().Set(), 1u);
    clockStart = ClockNow();
    ClockNow() -= c.challengeOffsetMs;
  };
  MonitorOutcome outcome = Run();
  ExpectEnded(outcome, L"AC-DEBUG-001", std::wstring(kDebuggerMessage) + kAcknowledgementTimedOutSuffix);
  ASSERT_NE(clockStart, 0u);
  EXPECT_EQ(ClockNow() - clockStart, c.endsAfterClockMs);
  EXPECT_EQ(world.passes.size(), 1u) << "no check while the report is pending";
}

INSTANTIATE_TEST_SUITE_P(Table, MonitorDeadline, testing::ValuesIn(kDeadlineCases),
                         [](const testing::TestParamInfo<DeadlineCase>& i) { return std::string(i.param.label); });

TEST_F(SecurityMonitor, AFullMessageLosesTheTimeOutSuffix) {
  std::wstring full(383, L'm');
  ASSERT_TRUE(ConfirmHardCheatDetection(1, L"active-debugger", 0, L"AC-DEBUG-001", full.c_str()));
  ASSERT_EQ(Challenge().Set(), 1u);
  ExpectEnded(Run(), L"AC-DEBUG-001", full);
}

// ---- the file check ----
TEST_F(SecurityMonitor, AVirtualMachineFoundAtTheFileCheckEndsTheClient) {
  world.virtualMachineAtPass = 15;
  ExpectEnded(Run(), L"AC-VM-001", FormatText(kRunTimeVirtualMachineFormat, L"test hypervisor"));
  EXPECT_EQ(world.passes.size(), 15u);
  EXPECT_FALSE(world.passes.back().files);
}

TEST_F(SecurityMonitor, AFailedFileCheckEndsTheClientWithItsMessage) {
  world.fileFailureAtPass = 15;
  ExpectEnded(Run(), L"AC-FILE-001", L"staged file failure");
  EXPECT_EQ(world.passes.size(), 15u);
}

DWORD WINAPI NoModuleName(HMODULE, LPWSTR, DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return 0;
}

TEST_F(SecurityMonitor, AnUnresolvableClientDirectoryFailsTheFileCheck) {
  win32Calls.GetModuleFileNameW = NoModuleName;
  EXPECT_FALSE(RecheckCoreClientFiles());
  EXPECT_STREQ(guard.lastErrorText, L"ZarnelGuard could not resolve the client directory.");
}

#ifdef ZG_SAMPLE_CLIENT_DIR
std::wstring clientCopy;
DWORD WINAPI ModuleInClientCopy(HMODULE, LPWSTR buffer, DWORD size) {
  std::wstring path = clientCopy + L"ZarnelGuard.dll";
  if (path.size() + 1 > size) return 0;
  wcscpy(buffer, path.c_str());
  return static_cast<DWORD>(path.size());
}

std::wstring WindowsPath(const char* text) {
  std::wstring path(text, text + strlen(text));
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path;
}

// The sample client's core files copied into a private directory where the
// guard's module is made to lie; the test replaces one of them while the
// monitor runs.
TEST_F(SecurityMonitor, ACoreFileReplacedWhileTheClientRunsEndsItAtTheNextFileCheck) {
  TempDirectory dir;
  std::wstring source = WindowsPath(ZG_SAMPLE_CLIENT_DIR);
  for (uint32_t i = 0; i < kCoreClientFileCount; ++i)
    ASSERT_TRUE(CopyFileW((source + kGuardManifest[i].relativePath).c_str(),
                          (dir.Path() + kGuardManifest[i].relativePath).c_str(), FALSE));
  clientCopy = dir.Path();
  win32Calls.GetModuleFileNameW = ModuleInClientCopy;
  world.realFileCheck = true;
  const GuardManifestEntry& replaced = kGuardManifest[5];
  // File checks at passes 15 and 30 (every wait 3000 ms); the file changes
  // on disk in between.
  world.beforeWait = [&](size_t wait) {
    if (wait == 20) dir.WriteFile(replaced.relativePath, "a different file");
  };

  MonitorOutcome outcome = Run();
  EXPECT_TRUE(outcome.ended);
  EXPECT_EQ(outcome.exitCode, 13u);
  EXPECT_EQ(HelperCode(), L"AC-FILE-001");
  EXPECT_EQ(world.passes.size(), 30u) << "the first check passed, the next one found the change";
  EXPECT_EQ(Passes(&PassRecord::files).substr(0, 15), "..............x");
  EXPECT_NE(std::wstring(guard.lastErrorText).find(replaced.relativePath), std::wstring::npos)
      << testing::PrintToString(std::wstring(guard.lastErrorText));
}
#endif  // ZG_SAMPLE_CLIENT_DIR

// ---- a real thread and a real stop event ----
volatile LONG realChecks;
bool CountingDebugger() {
  InterlockedIncrement(&realChecks);
  return false;
}

class SecurityMonitorThreadRun : public testing::Test {
 protected:
  void TearDown() override { RestoreMonitorChecks(); }
};

TEST_F(SecurityMonitorThreadRun, ShutdownDuringAWaitEndsTheThreadBeforeAnyCheck) {
  realChecks = 0;
  monitorChecks.detectActiveDebugger = CountingDebugger;
  guard.stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(guard.stopEvent, nullptr);
  guard.monitorThread = CreateThread(nullptr, 0, SecurityMonitorThread, nullptr, 0, nullptr);
  ASSERT_NE(guard.monitorThread, nullptr);
  HANDLE watch = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), guard.monitorThread, GetCurrentProcess(), &watch, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));

  ZarnelGuardShutdown();  // sets the stop event and waits for the thread without a time-out
  DWORD exitCode = 99;
  EXPECT_EQ(WaitForSingleObject(watch, 0), WAIT_OBJECT_0);
  EXPECT_TRUE(GetExitCodeThread(watch, &exitCode));
  EXPECT_EQ(exitCode, 0u);
  EXPECT_EQ(realChecks, 0) << "the first pass waits at least 3 s: shutdown must not wait it out";
  EXPECT_EQ(guard.monitorThread, nullptr);
  EXPECT_EQ(guard.stopEvent, nullptr);
  CloseHandle(watch);
}
}  // namespace
