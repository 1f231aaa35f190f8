// The player-facing texts of the two table scans, from the wordings in
// checks/finding_texts.h. A finding without a row still gets a name and a
// code, so the message and the fatal exit always agree.
#include "checks/detection_checks.h"
#include "checks/finding_texts.h"
#include "state/guard_state.h"

namespace {
constexpr wchar_t kDefaultProgramCode[] = L"AC-PROC-000";
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
    SetLastErrorText(kStartupBlockedProgramFormat, name, ProgramFindingCode(finding));
  else
    SetLastErrorText(kRunTimeBlockedProgramFormat, name, ProgramFindingCode(finding));
}

void FormatBlockedModuleMessage(const ModuleFinding& finding, bool atStartup) {
  const wchar_t* name = finding.rule ? OrDefault(finding.rule->displayName, kDefaultModuleName) : kDefaultModuleName;
  if (atStartup)
    SetLastErrorText(kStartupBlockedModuleFormat, name, ModuleFindingCode(finding));
  else
    SetLastErrorText(kRunTimeBlockedModuleFormat, name, ModuleFindingCode(finding));
}
