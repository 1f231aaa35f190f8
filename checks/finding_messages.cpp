// The player-facing texts of the two table scans. A finding without a row
// still gets a name and a code, so the message and the fatal exit always
// agree.
#include "checks/detection_checks.h"
#include "state/guard_state.h"

namespace {
constexpr wchar_t kDefaultProgramName[] = L"a blocked program";
constexpr wchar_t kDefaultProgramCode[] = L"AC-PROC-000";
constexpr wchar_t kDefaultModuleName[] = L"a blocked module";
constexpr wchar_t kDefaultModuleCode[] = L"AC-MODULE-000";

const wchar_t* OrDefault(const wchar_t* text, const wchar_t* fallback) { return text && *text ? text : fallback; }
}  // namespace

const wchar_t* ProgramFindingCode(const ProgramFinding& finding) {
  return finding.rule ? OrDefault(finding.rule->code, kDefaultProgramCode) : kDefaultProgramCode;
}

const wchar_t* ModuleFindingCode(const ModuleFinding& finding) {
  return finding.rule ? OrDefault(finding.rule->code, kDefaultModuleCode) : kDefaultModuleCode;
}

void FormatBlockedProgramMessage(const ProgramFinding& finding, bool atStartup) {
  const wchar_t* name = finding.rule ? OrDefault(finding.rule->displayName, kDefaultProgramName) : kDefaultProgramName;
  if (atStartup)
    SetLastErrorText(L"Zarnel cannot start while %ls is running. Close it completely, including its tray or "
                     L"background process, then try again. (Code %ls)",
                     name, ProgramFindingCode(finding));
  else
    SetLastErrorText(L"Zarnel closed because %ls was opened. Close it completely before reconnecting. (Code %ls)",
                     name, ProgramFindingCode(finding));
}

void FormatBlockedModuleMessage(const ModuleFinding& finding, bool atStartup) {
  const wchar_t* name = finding.rule ? OrDefault(finding.rule->displayName, kDefaultModuleName) : kDefaultModuleName;
  if (atStartup)
    SetLastErrorText(L"Zarnel cannot start because %ls is loaded in the client. (Code %ls)", name,
                     ModuleFindingCode(finding));
  else
    SetLastErrorText(L"Zarnel closed because %ls was loaded in the client. (Code %ls)", name,
                     ModuleFindingCode(finding));
}
