// The guarded start, run once by InitOnceExecuteOnce. Findings end the
// process; every other failure releases what this run set up
// (core/guard_release.h), so that the next call can run the whole sequence
// again.
#include "checks/detection_checks.h"
#include "checks/fatal_exit.h"
#include "checks/finding_policy.h"
#include "core/guard_release.h"
#include "core/startup_sequence.h"
#include "state/guard_state.h"
#include "core/security_monitor.h"
#include "platform/system_library_calls.h"
#include "platform/win32_calls.h"
#include "identity/machine_identity.h"
#include "integrity/held_client_files.h"
#include "integrity/manifest_verification.h"
#include "proofs/device_key_store.h"
#include "proofs/hard_cheat_protocol.h"

namespace {
constexpr wchar_t kSingleClientMarkerName[] =
    L"Global\\ZarnelGuard-v95-single-client-74249B15-AC70-48D2-AE27-3678C60128DA";

void RunStartupDebuggerCheck() {
  if (DetectActiveDebugger()) ActOnActiveDebugger(FindingPhase::kStartup);
}

// bcrypt and ncrypt from the system directory, before anything of the guard
// needs them. A copy from elsewhere that something loaded before the guard
// ran is what the system binds ncrypt's imports (and CryptoAPI's, which
// hash the client files next) to: a finding before any digest is trusted.
void RunStartupCryptoModuleCheck() {
  PreloadSystemLibraries();
  ModuleFinding finding = {};
  if (ScanSystemCryptoModules(finding)) ActOnBlockedModule(FindingPhase::kStartup, finding);
}

void RunStartupModuleScan() {
  ModuleFinding finding = {};
  if (ScanLoadedModules(finding)) ActOnBlockedModule(FindingPhase::kStartup, finding);
}

void RunStartupVirtualMachineCheck() {
  WideBuffer detail;
  if (DetectVirtualMachine(detail)) ActOnVirtualMachine(FindingPhase::kStartup, detail.CStr());
}

void RunStartupProgramScan() {
  ProgramFinding finding = {};
  DWORD windowsError = 0;
  ProgramScanResult result = ScanRunningPrograms(true, finding, windowsError);
  if (result == kProgramScanFinding) {
    ActOnBlockedProgram(FindingPhase::kStartup, finding);
  } else if (result != kProgramScanClean) {
    ActOnFailedScan(FindingPhase::kStartup, windowsError);
  }
}

// False with the message written when the marker is missing or taken.
bool ClaimSingleClientMarker() {
  SetLastError(0);
  HANDLE marker = win32Calls.CreateMutexW(nullptr, FALSE, kSingleClientMarkerName);
  DWORD error = GetLastError();
  if (!marker) {
    SetLastErrorText(L"ZarnelGuard could not create its single-client marker: %ls (Windows error %lu)",
                     kSingleClientMarkerName, error);
    return false;
  }
  if (error == ERROR_ALREADY_EXISTS) {
    win32Calls.CloseHandle(marker);
    SetLastErrorText(L"Only one Zarnel client can run on this Windows machine.");
    return false;
  }
  guard.singleClientMutex = marker;
  return true;
}
}  // namespace

BOOL CALLBACK RunStartupSequence(PINIT_ONCE, PVOID, PVOID*) {
  ApplyProcessHardening();
  RunStartupCryptoModuleCheck();
  if (!VerifyCoreClientFiles()) return FALSE;
  SetGuardRunning(true);

  RunStartupDebuggerCheck();
  RunStartupModuleScan();
  RunStartupVirtualMachineCheck();
  RunStartupProgramScan();

  if (!ClaimSingleClientMarker()) {
    ReleaseGuard(ReleaseReason::kFailedStartup);
    return FALSE;
  }
  if (!VerifyClientArchives() || !BuildMachineIdentity()) {
    ReleaseGuard(ReleaseReason::kFailedStartup);
    return FALSE;
  }
  if (!AcquireDeviceKey()) {
    SetLastErrorText(L"ZarnelGuard could not create or open its protected device key.");
    ReleaseGuard(ReleaseReason::kFailedStartup);
    return FALSE;
  }
  guard.stopEvent = win32Calls.CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!guard.stopEvent) {
    ReleaseGuard(ReleaseReason::kFailedStartup);
    SetLastErrorText(L"ZarnelGuard could not create its stop event.");
    return FALSE;
  }
  // The executable's default stack is enough: the file checks hash from a
  // heap block of their own.
  guard.monitorThread = win32Calls.CreateThread(nullptr, 0, SecurityMonitorThread, nullptr, 0, nullptr);
  if (!guard.monitorThread) {
    ReleaseGuard(ReleaseReason::kFailedStartup);
    SetLastErrorText(L"ZarnelGuard could not start its integrity monitor.");
    return FALSE;
  }
  return TRUE;
}
