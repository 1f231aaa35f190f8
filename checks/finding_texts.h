#pragma once
// The texts the player sees for a finding, kept in one place so that a
// change of wording is made once, and so that the unit tests compare what
// the guard wrote against these constants instead of copies of their own
// (finding_messages_test pins each one to its exact words). The formats go
// to SetLastErrorText: %ls is the finding's name, detail or code, %lu the
// Windows error.

// An active debugger; the "could not be retained" texts end the client
// when a hard-cheat detection could not be recorded for the server.
constexpr wchar_t kDebuggerMessage[] = L"Zarnel closed because an active debugger was detected.";
constexpr wchar_t kDebuggerEvidenceLostMessage[] =
    L"Zarnel closed because its debugger evidence could not be retained.";
constexpr wchar_t kHardCheatEvidenceLostMessage[] =
    L"Zarnel closed because its hard-cheat evidence could not be retained.";

// A virtual machine: the start-up's wording, and the one after it has
// started (the monitor and the checks before a login).
constexpr wchar_t kStartupVirtualMachineFormat[] =
    L"Zarnel cannot start because a virtual machine environment was detected: %ls";
constexpr wchar_t kRunTimeVirtualMachineFormat[] =
    L"Zarnel closed because a virtual machine environment was detected: %ls";

// A process scan that could not read the machine, one wording per phase.
constexpr wchar_t kStartupScanFailureFormat[] =
    L"Zarnel cannot start because its process scanner failed (Windows error %lu).";
constexpr wchar_t kMonitorScanFailureFormat[] =
    L"Zarnel closed because its process scanner failed (Windows error %lu).";
constexpr wchar_t kPreLoginScanFailureFormat[] =
    L"Zarnel closed because its pre-login process scan failed (Windows error %lu).";

// A blocked program or module: its display name, then its code. A finding
// without a table row is named by the defaults.
constexpr wchar_t kStartupBlockedProgramFormat[] =
    L"Zarnel cannot start while %ls is running. Close it completely, including its tray or "
    L"background process, then try again. (Code %ls)";
constexpr wchar_t kRunTimeBlockedProgramFormat[] =
    L"Zarnel closed because %ls was opened. Close it completely before reconnecting. (Code %ls)";
constexpr wchar_t kStartupBlockedModuleFormat[] =
    L"Zarnel cannot start because %ls is loaded in the client. (Code %ls)";
constexpr wchar_t kRunTimeBlockedModuleFormat[] = L"Zarnel closed because %ls was loaded in the client. (Code %ls)";
constexpr wchar_t kDefaultProgramName[] = L"a blocked program";
constexpr wchar_t kDefaultModuleName[] = L"a blocked module";

// The monitor's wait for its next pass failed.
constexpr wchar_t kMonitorUnresponsiveMessage[] = L"Zarnel closed because its security monitor stopped responding.";
