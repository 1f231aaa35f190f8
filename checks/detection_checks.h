#pragma once
// The detection checks behind the start-up, the monitor and the pre-login
// checks. No check writes the last-error text; only the two formatters do.
#include <windows.h>

#include <cstdint>

#include "platform/wide_buffer.h"

// A row of the blocked-program table.
struct BlockRule {
  uint32_t rowNumber;
  const wchar_t* code;         // "AC-PROC-" + three digits
  const wchar_t* displayName;  // shown to the player
  const wchar_t* const* imageNames;  // matching data: lower-case image file names, null-terminated list
  // Matching data that survives a rename: the version resource's product
  // names and original file names (null-terminated lists, compared with
  // A-Z folded). Only the full scan reads version resources.
  const wchar_t* const* productNames;
  const wchar_t* const* originalFileNames;
  uint8_t category;            // kHardCheatCategory marks a hard-cheat row
};
constexpr uint8_t kHardCheatCategory = 1;

// A row of the blocked-module table.
struct ModuleRule {
  uint32_t rowNumber;
  const wchar_t* code;         // "AC-MODULE-" + three digits
  const wchar_t* displayName;
  const wchar_t* const* moduleNames;  // matching data: lower-case module file names, null-terminated list
};

struct ModuleFinding {
  const ModuleRule* rule;  // null when the finding names no row
  WideBuffer moduleName;
};

struct ProgramFinding {
  const BlockRule* rule;   // null when the finding names no row
  WideBuffer imageName;
  uint32_t processId;
  uint8_t holdsGameAccess;
  uint32_t accessMask;
};

enum ProgramScanResult : uint32_t {
  kProgramScanClean = 0,
  kProgramScanFinding = 1,
  kProgramScanFailed = 2,
};

void ApplyProcessHardening();
bool DetectActiveDebugger();
bool ScanLoadedModules(ModuleFinding& finding);
// Only the system's crypto libraries, each against the system directory
// (checks/system_crypto_modules.h): the start-up's first step, before the
// client files are hashed through them.
bool ScanSystemCryptoModules(ModuleFinding& finding);
bool DetectVirtualMachine(WideBuffer& detail);
ProgramScanResult ScanRunningPrograms(bool fullScan, ProgramFinding& finding, DWORD& windowsError);

// The player-facing messages, start-time or run-time wording, with the
// defaults for a finding without a row.
void FormatBlockedProgramMessage(const ProgramFinding& finding, bool atStartup);
void FormatBlockedModuleMessage(const ModuleFinding& finding, bool atStartup);

// The code the message shows, default included; the fatal exit gets the same.
const wchar_t* ProgramFindingCode(const ProgramFinding& finding);
const wchar_t* ModuleFindingCode(const ModuleFinding& finding);
