#include "checks/finding_policy.h"

#include "checks/fatal_exit.h"
#include "proofs/hard_cheat_protocol.h"
#include "state/guard_state.h"

namespace {
constexpr wchar_t kDebuggerName[] = L"active-debugger";
constexpr wchar_t kDebuggerMessage[] = L"Zarnel closed because an active debugger was detected.";
constexpr wchar_t kDebuggerEvidenceLost[] =
    L"Zarnel closed because its debugger evidence could not be retained.";
constexpr wchar_t kHardCheatEvidenceLost[] =
    L"Zarnel closed because its hard-cheat evidence could not be retained.";

const wchar_t* VirtualMachineMessage(FindingPhase phase) {
  return phase == FindingPhase::kStartup
             ? L"Zarnel cannot start because a virtual machine environment was detected: %ls"
             : L"Zarnel closed because a virtual machine environment was detected: %ls";
}

const wchar_t* FailedScanMessage(FindingPhase phase) {
  switch (phase) {
    case FindingPhase::kStartup:
      return L"Zarnel cannot start because its process scanner failed (Windows error %lu).";
    case FindingPhase::kMonitor:
      return L"Zarnel closed because its process scanner failed (Windows error %lu).";
    case FindingPhase::kPreLogin:
      break;
  }
  return L"Zarnel closed because its pre-login process scan failed (Windows error %lu).";
}

// The monitor runs no check while a detection is pending, so whatever it
// finds ends the client; the start-up and the pre-login checks leave the
// client to a pending detection's report.
void EndUnlessDetectionPending(FindingPhase phase, const wchar_t* code) {
  if (phase == FindingPhase::kMonitor || !IsHardCheatDetectionPending()) FatalExit(code, guard.lastErrorText);
}
}  // namespace

bool ActOnActiveDebugger(FindingPhase phase) {
  if (ConfirmHardCheatDetection(kViolationActiveDebugger, kDebuggerName, 0, kDebuggerCode, kDebuggerMessage))
    return true;
  FatalExit(kDebuggerCode, phase == FindingPhase::kMonitor ? kDebuggerMessage : kDebuggerEvidenceLost);
}

bool ActOnBlockedProgram(FindingPhase phase, const ProgramFinding& finding) {
  FormatBlockedProgramMessage(finding, phase == FindingPhase::kStartup);
  const wchar_t* code = ProgramFindingCode(finding);
  // Only a hard-cheat program that holds access to the client is reported
  // to the server; every other finding is a plain blocked program.
  if (finding.rule && finding.rule->category == kHardCheatCategory && finding.holdsGameAccess) {
    if (ConfirmHardCheatDetection(kViolationHardCheatProgram, code, finding.accessMask, code, guard.lastErrorText))
      return true;
    FatalExit(code, phase == FindingPhase::kMonitor ? guard.lastErrorText : kHardCheatEvidenceLost);
  }
  EndUnlessDetectionPending(phase, code);
  return false;
}

void ActOnBlockedModule(FindingPhase phase, const ModuleFinding& finding) {
  FormatBlockedModuleMessage(finding, phase == FindingPhase::kStartup);
  EndUnlessDetectionPending(phase, ModuleFindingCode(finding));
}

void ActOnVirtualMachine(FindingPhase phase, const wchar_t* detail) {
  SetLastErrorText(VirtualMachineMessage(phase), detail);
  EndUnlessDetectionPending(phase, kVirtualMachineCode);
}

void ActOnFailedScan(FindingPhase phase, DWORD windowsError) {
  SetLastErrorText(FailedScanMessage(phase), static_cast<unsigned long>(windowsError));
  EndUnlessDetectionPending(phase, kScanFailureCode);
}
