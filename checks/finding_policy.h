#pragma once
// What a finding does in each phase that looks for one: the start-up, the
// monitor's passes and the checks before a login. The one place that
// decides whether a finding ends the client, is recorded as a hard-cheat
// detection for the server, or waits behind a detection already pending,
// and which of the texts in checks/finding_texts.h the player sees for it.
#include <windows.h>

#include <cstdint>

#include "checks/detection_checks.h"

enum class FindingPhase { kStartup, kMonitor, kPreLogin };

// The hard-cheat report's violation numbers.
constexpr uint16_t kViolationActiveDebugger = 1;
constexpr uint16_t kViolationHardCheatProgram = 3;

// The codes the error helper shows (a blocked module or program has its
// row's own code).
constexpr wchar_t kDebuggerCode[] = L"AC-DEBUG-001";
constexpr wchar_t kVirtualMachineCode[] = L"AC-VM-001";
constexpr wchar_t kScanFailureCode[] = L"AC-SCAN-001";
constexpr wchar_t kFileCheckCode[] = L"AC-FILE-001";

// Each either records a hard-cheat detection and returns true (the report
// exchange decides from there), or writes the finding's message and ends
// the client, or, outside the monitor, returns false leaving the client to
// a detection that is already pending.
bool ActOnActiveDebugger(FindingPhase phase);
bool ActOnBlockedProgram(FindingPhase phase, const ProgramFinding& finding);
void ActOnBlockedModule(FindingPhase phase, const ModuleFinding& finding);
void ActOnVirtualMachine(FindingPhase phase, const wchar_t* detail);
// A process scan that could not read the machine (the monitor calls it only
// once its failures in a row reach their limit).
void ActOnFailedScan(FindingPhase phase, DWORD windowsError);
