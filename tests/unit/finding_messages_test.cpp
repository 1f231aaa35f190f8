// The two formatters' exact texts, both wordings, with a table row and
// without one, and the code that the fatal exit then gets. The other tests
// compare the guard's texts with the constants of checks/finding_texts.h and
// proofs/hard_cheat_texts.h; this file alone spells the texts out, so an
// edit of one is still caught.
#include <gtest/gtest.h>

#include <string>

#include "checks/blocked_module_table.h"
#include "checks/blocked_program_table.h"
#include "checks/detection_checks.h"
#include "checks/finding_texts.h"
#include "proofs/hard_cheat_texts.h"
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

// The texts that no formatter above writes, word for word (the blocked
// program and module formats and default names are pinned by the formatted
// texts above).
struct PinnedText {
  const char* name;
  const wchar_t* constant;
  const wchar_t* expected;
};

const PinnedText kPinnedTexts[] = {
    {"debugger", kDebuggerMessage, L"Zarnel closed because an active debugger was detected."},
    {"debugger_evidence_lost", kDebuggerEvidenceLostMessage,
     L"Zarnel closed because its debugger evidence could not be retained."},
    {"hard_cheat_evidence_lost", kHardCheatEvidenceLostMessage,
     L"Zarnel closed because its hard-cheat evidence could not be retained."},
    {"startup_virtual_machine", kStartupVirtualMachineFormat,
     L"Zarnel cannot start because a virtual machine environment was detected: %ls"},
    {"run_time_virtual_machine", kRunTimeVirtualMachineFormat,
     L"Zarnel closed because a virtual machine environment was detected: %ls"},
    {"startup_scan_failure", kStartupScanFailureFormat,
     L"Zarnel cannot start because its process scanner failed (Windows error %lu)."},
    {"monitor_scan_failure", kMonitorScanFailureFormat,
     L"Zarnel closed because its process scanner failed (Windows error %lu)."},
    {"pre_login_scan_failure", kPreLoginScanFailureFormat,
     L"Zarnel closed because its pre-login process scan failed (Windows error %lu)."},
    {"monitor_unresponsive", kMonitorUnresponsiveMessage,
     L"Zarnel closed because its security monitor stopped responding."},
    {"hard_cheat_default", kDefaultHardCheatMessage, L"Zarnel closed after a confirmed hard-cheat detection."},
    {"report_rejected", kReportRejectedSuffix, L" The server rejected the security report."},
    {"acknowledgement_timed_out", kAcknowledgementTimedOutSuffix,
     L" The security report acknowledgement timed out."},
};
}  // namespace

TEST(FindingMessages, TheTextsOfOtherFindingsReadWordForWord) {
  for (const PinnedText& t : kPinnedTexts) {
    SCOPED_TRACE(t.name);
    EXPECT_EQ(std::wstring(t.constant), t.expected);
  }
}

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
