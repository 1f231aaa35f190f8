// The two formatters' exact texts, both wordings, with a table row and
// without one, and the code that the fatal exit then gets.
#include <gtest/gtest.h>

#include <string>

#include "checks/blocked_module_table.h"
#include "checks/blocked_program_table.h"
#include "checks/detection_checks.h"
#include "test_support.h"

namespace {
struct MessageCase {
  const char* name;
  bool withRow;
  bool atStartup;
  const wchar_t* expectedText;
  const wchar_t* expectedCode;
};

const MessageCase kProgramCases[] = {
    {"row_startup", true, true,
     L"Zarnel cannot start while Cheat Engine is running. Close it completely, including its tray or background "
     L"process, then try again. (Code AC-PROC-001)",
     L"AC-PROC-001"},
    {"row_runtime", true, false,
     L"Zarnel closed because Cheat Engine was opened. Close it completely before reconnecting. (Code AC-PROC-001)",
     L"AC-PROC-001"},
    {"default_startup", false, true,
     L"Zarnel cannot start while a blocked program is running. Close it completely, including its tray or "
     L"background process, then try again. (Code AC-PROC-000)",
     L"AC-PROC-000"},
    {"default_runtime", false, false,
     L"Zarnel closed because a blocked program was opened. Close it completely before reconnecting. (Code "
     L"AC-PROC-000)",
     L"AC-PROC-000"},
};

const MessageCase kModuleCases[] = {
    {"row_startup", true, true,
     L"Zarnel cannot start because the Cheat Engine speed hack is loaded in the client. (Code AC-MODULE-001)",
     L"AC-MODULE-001"},
    {"row_runtime", true, false,
     L"Zarnel closed because the Cheat Engine speed hack was loaded in the client. (Code AC-MODULE-001)",
     L"AC-MODULE-001"},
    {"default_startup", false, true,
     L"Zarnel cannot start because a blocked module is loaded in the client. (Code AC-MODULE-000)", L"AC-MODULE-000"},
    {"default_runtime", false, false,
     L"Zarnel closed because a blocked module was loaded in the client. (Code AC-MODULE-000)", L"AC-MODULE-000"},
};
}  // namespace

TEST(FindingMessages, ProgramMessagesInBothWordingsWithRowAndDefault) {
  for (const MessageCase& c : kProgramCases) {
    SCOPED_TRACE(c.name);
    ProgramFinding finding = {};
    finding.rule = c.withRow ? &kBlockedPrograms[0] : nullptr;
    FormatBlockedProgramMessage(finding, c.atStartup);
    EXPECT_EQ(std::wstring(guard.lastErrorText), c.expectedText);
    EXPECT_EQ(std::wstring(ProgramFindingCode(finding)), c.expectedCode);
  }
}

TEST(FindingMessages, ModuleMessagesInBothWordingsWithRowAndDefault) {
  for (const MessageCase& c : kModuleCases) {
    SCOPED_TRACE(c.name);
    ModuleFinding finding = {};
    finding.rule = c.withRow ? &kBlockedModules[0] : nullptr;
    FormatBlockedModuleMessage(finding, c.atStartup);
    EXPECT_EQ(std::wstring(guard.lastErrorText), c.expectedText);
    EXPECT_EQ(std::wstring(ModuleFindingCode(finding)), c.expectedCode);
  }
}
