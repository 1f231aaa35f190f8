// PLACEHOLDER until the detection checks land: finds nothing.
#include "core/checks/detection_checks.h"

#include "core/guard_state.h"

void ApplyProcessHardening() {}
bool DetectActiveDebugger() { return false; }
bool ScanLoadedModules(ModuleFinding&) { return false; }
bool DetectVirtualMachine(WideBuffer&) { return false; }
ProgramScanResult ScanRunningPrograms(bool, ProgramFinding&, DWORD& windowsError) {
  windowsError = 0;
  return kProgramScanClean;
}
void FormatBlockedProgramMessage(const ProgramFinding&, bool) {}
void FormatBlockedModuleMessage(const ModuleFinding&, bool) {}
const wchar_t* ProgramFindingCode(const ProgramFinding&) { return L"AC-PROC-000"; }
const wchar_t* ModuleFindingCode(const ModuleFinding&) { return L"AC-MODULE-000"; }
