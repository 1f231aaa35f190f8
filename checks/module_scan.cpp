// The client's own module list against the blocked-module table. The scan
// reports no failure: a list that cannot be taken counts as clean, since a
// transient toolhelp failure must not close a player's game.
#include <windows.h>
#include <tlhelp32.h>

#include <cwchar>

#include "checks/blocked_module_table.h"
#include "checks/detection_checks.h"
#include "checks/system_crypto_modules.h"
#include "platform/handle_owner.h"
#include "platform/win32_calls.h"

namespace {
// A module list taken while another thread loads a DLL can fail with
// ERROR_BAD_LENGTH; the next attempt normally succeeds.
constexpr int kSnapshotAttempts = 3;

HANDLE TakeModuleSnapshot() {
  for (int attempt = 0; attempt < kSnapshotAttempts; ++attempt) {
    HANDLE snapshot = win32Calls.CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    if (snapshot != INVALID_HANDLE_VALUE) return snapshot;
    if (GetLastError() != ERROR_BAD_LENGTH) break;
  }
  return INVALID_HANDLE_VALUE;
}
}  // namespace

namespace {
enum class ModuleJudgement { kBlockedRowsAndPlace, kPlaceOnly };

bool ScanModules(ModuleJudgement judgement, ModuleFinding& finding) {
  finding.rule = nullptr;
  finding.moduleName.Clear();
  // Where the system's own libraries belong; a system that cannot say
  // leaves only the blocked-module rows to judge by.
  SystemLibraryDirectories directories;
  const bool systemKnown = ReadSystemLibraryDirectories(directories);
  if (!systemKnown && judgement == ModuleJudgement::kPlaceOnly) return false;
  FileHandleOwner snapshot(TakeModuleSnapshot());
  if (!snapshot.Valid()) return false;
  MODULEENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = win32Calls.Module32FirstW(snapshot.Get(), &entry); more;
       more = win32Calls.Module32NextW(snapshot.Get(), &entry)) {
    entry.szModule[MAX_MODULE_NAME32] = L'\0';
    entry.szExePath[MAX_PATH - 1] = L'\0';
    const ModuleRule* rule = judgement == ModuleJudgement::kBlockedRowsAndPlace
                                 ? MatchBlockedModuleName(entry.szModule, std::wcslen(entry.szModule))
                                 : nullptr;
    // A system crypto library from anywhere but the system directory is a
    // finding without a row.
    if (!rule && !(systemKnown && IsSystemCryptoModuleOutOfPlace(entry.szModule, entry.szExePath, directories)))
      continue;
    finding.rule = rule;
    // The path says where it came from; the file name is the fallback
    // when the path cannot be kept.
    if (!finding.moduleName.Append(entry.szExePath)) finding.moduleName.Clear();
    return true;
  }
  return false;
}
}  // namespace

bool ScanLoadedModules(ModuleFinding& finding) { return ScanModules(ModuleJudgement::kBlockedRowsAndPlace, finding); }

bool ScanSystemCryptoModules(ModuleFinding& finding) { return ScanModules(ModuleJudgement::kPlaceOnly, finding); }
