// The monitor thread. Its waits are the only place it can be stopped, so it
// never holds a lock across one; everything it finds ends the client, except
// a confirmed hard-cheat detection, which is left to the report exchange.
#include "core/security_monitor.h"

#include <bcrypt.h>

#include "checks/fatal_exit.h"
#include "checks/finding_policy.h"
#include "checks/finding_texts.h"
#include "state/guard_state.h"
#include "platform/win32_calls.h"
#include "proofs/hard_cheat_protocol.h"

namespace {
struct MonitorSchedule {
  uint64_t nextFullScanTime;
  uint64_t nextFileCheckTime;
  uint32_t scanFailureCount;
};

uint64_t RandomlyLater(uint64_t from, uint32_t baseMs, uint32_t spreadMs) {
  return from + baseMs + MonitorRandom32() % (spreadMs + 1);
}

DWORD NextWaitMs() {
  if (IsHardCheatDetectionPending()) return kPendingPollIntervalMs;
  return kPassIntervalBaseMs + MonitorRandom32() % (kPassIntervalSpreadMs + 1);
}

void EndIfAcknowledgementOverdue() {
  wchar_t code[kHardCheatCodeCapacity] = {};
  wchar_t message[kHardCheatMessageCapacity] = {};
  if (TakeOverdueAcknowledgement(code, message)) FatalExit(code, message);
}

// True when the finding was recorded as a hard-cheat detection: the pass
// ends and the monitor only polls from now on.
bool DebuggerRecorded() {
  return monitorChecks.detectActiveDebugger() && ActOnActiveDebugger(FindingPhase::kMonitor);
}

void RunModuleScan() {
  ModuleFinding finding = {};
  if (monitorChecks.scanLoadedModules(finding)) ActOnBlockedModule(FindingPhase::kMonitor, finding);
}

// True when a hard-cheat program was recorded as a detection.
bool ProgramRecorded(uint64_t now, MonitorSchedule& schedule) {
  bool fullScan = now >= schedule.nextFullScanTime;
  ProgramFinding finding = {};
  DWORD windowsError = 0;
  ProgramScanResult result = monitorChecks.scanRunningPrograms(fullScan, finding, windowsError);
  if (fullScan)
    schedule.nextFullScanTime = RandomlyLater(now, kFullScanIntervalBaseMs, kFullScanIntervalSpreadMs);

  if (result == kProgramScanFinding) return ActOnBlockedProgram(FindingPhase::kMonitor, finding);
  if (result == kProgramScanClean) {
    schedule.scanFailureCount = 0;
    return false;
  }
  // One failed scan can be a process that ended mid-walk; two in a row
  // mean the scanner no longer sees the machine.
  if (++schedule.scanFailureCount >= kScanFailureLimit) ActOnFailedScan(FindingPhase::kMonitor, windowsError);
  return false;
}

void RunFileCheck(uint64_t now, MonitorSchedule& schedule) {
  {
    WideBuffer detail;
    if (monitorChecks.detectVirtualMachine(detail)) ActOnVirtualMachine(FindingPhase::kMonitor, detail.CStr());
  }
  if (!monitorChecks.recheckCoreClientFiles()) FatalExit(kFileCheckCode, guard.lastErrorText);
  schedule.nextFileCheckTime = RandomlyLater(now, kFileCheckIntervalBaseMs, kFileCheckIntervalSpreadMs);
}

void RunChecksPass(MonitorSchedule& schedule) {
  if (DebuggerRecorded()) return;
  RunModuleScan();
  uint64_t now = win32Calls.GetTickCount64();
  if (ProgramRecorded(now, schedule)) return;
  if (now >= schedule.nextFileCheckTime) RunFileCheck(now, schedule);
}
}  // namespace

uint32_t MonitorRandom32() {
  uint32_t value = 0;
  if (win32Calls.BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&value), sizeof(value),
                                 BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0)
    value = win32Calls.GetTickCount() ^ win32Calls.GetCurrentProcessId();
  return value;
}

DWORD WINAPI SecurityMonitorThread(LPVOID) {
  MonitorSchedule schedule = {};
  // The start-up has just run the full scan, the virtual-machine check and
  // the file verification: the first of each again comes one interval on.
  schedule.nextFullScanTime =
      RandomlyLater(win32Calls.GetTickCount64(), kFullScanIntervalBaseMs, kFullScanIntervalSpreadMs);
  schedule.nextFileCheckTime =
      RandomlyLater(win32Calls.GetTickCount64(), kFileCheckIntervalBaseMs, kFileCheckIntervalSpreadMs);
  schedule.scanFailureCount = 0;

  for (;;) {
    DWORD waited = win32Calls.WaitForSingleObject(guard.stopEvent, NextWaitMs());
    if (waited == WAIT_OBJECT_0) return 0;
    if (waited != WAIT_TIMEOUT) FatalExit(kScanFailureCode, kMonitorUnresponsiveMessage);
    // While a detection is pending its report decides: no check runs, so
    // no other finding can end the client before the server has its answer.
    if (IsHardCheatDetectionPending()) {
      EndIfAcknowledgementOverdue();
      continue;
    }
    RunChecksPass(schedule);
  }
}
