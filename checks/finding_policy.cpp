#include "checks/finding_policy.h"

#include "checks/fatal_exit.h"
#include "checks/finding_texts.h"
#include "proofs/hard_cheat_protocol.h"
#include "state/guard_state.h"

namespace {
constexpr wchar_t kDebuggerName[] = L"active-debugger";

const wchar_t* VirtualMachineMessage(FindingPhase phase) {
  return phase == FindingPhase::kStartup ? kStartupVirtualMachineFormat : kRunTimeVirtualMachineFormat;
}

const wchar_t* FailedScanMessage(FindingPhase phase) {
  switch (phase) {
    case FindingPhase::kStartup:
      return kStartupScanFailureFormat;
    case FindingPhase::kMonitor:
      return kMonitorScanFailureFormat;
    case FindingPhase::kPreLogin:
      break;
  }
  return kPreLoginScanFailureFormat;
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
  FatalExit(kDebuggerCode, phase == FindingPhase::kMonitor ? kDebuggerMessage : kDebuggerEvidenceLostMessage);
}

bool ActOnBlockedProgram(FindingPhase phase, const ProgramFinding& finding) {
  FormatBlockedProgramMessage(finding, phase == FindingPhase::kStartup);
  const wchar_t* code = ProgramFindingCode(finding);
  // Only a hard-cheat program that holds access to the client is reported
  // to the server; every other finding is a plain blocked program.
  if (finding.rule && finding.rule->category == kHardCheatCategory && finding.holdsGameAccess) {
    if (ConfirmHardCheatDetection(kViolationHardCheatProgram, code, finding.accessMask, code, guard.lastErrorText))
      return true;
    FatalExit(code, phase == FindingPhase::kMonitor ? guard.lastErrorText : kHardCheatEvidenceLostMessage);
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
