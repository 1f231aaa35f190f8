// The blocked-program scan. The quick form reads the process list once and
// looks closer only at processes whose file name is in the table; the full
// form also reads every process's image path and the version resource of
// its file, which still identifies a tool after its file was renamed.
#include <windows.h>

#include <cwchar>

#include "checks/blocked_program_table.h"
#include "checks/detection_checks.h"
#include "checks/game_access_handles.h"
#include "platform/native_system_information.h"
#include "checks/program_version_resource.h"
#include "state/guard_state.h"
#include "platform/handle_owner.h"
#include "platform/win32_calls.h"

namespace {
constexpr DWORD kImagePathCapacity = 32768;

class ExclusiveScanLock {
 public:
  ExclusiveScanLock() { AcquireSRWLockExclusive(&guard.processScanLock); }
  ~ExclusiveScanLock() { ReleaseSRWLockExclusive(&guard.processScanLock); }
  ExclusiveScanLock(const ExclusiveScanLock&) = delete;
  ExclusiveScanLock& operator=(const ExclusiveScanLock&) = delete;
};

void ClearFinding(ProgramFinding& finding) {
  finding.rule = nullptr;
  finding.imageName.Clear();
  finding.processId = 0;
  finding.holdsGameAccess = 0;
  finding.accessMask = 0;
}

// False when the process cannot be opened for a limited query (protected
// and system processes): such a process is judged by its name alone.
bool ReadImagePath(DWORD processId, WideBuffer& path) {
  path.SetLength(0);
  HandleOwner process(win32Calls.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (!process.Valid()) return false;
  DWORD length = static_cast<DWORD>(path.Capacity());
  if (!win32Calls.QueryFullProcessImageNameW(process.Get(), 0, path.Data(), &length) || length == 0 ||
      length >= path.Capacity())
    return false;
  path.SetLength(length);
  return true;
}

void FileNamePart(const WideBuffer& path, const wchar_t*& name, size_t& length) {
  const wchar_t* text = path.CStr();
  size_t start = path.Length();
  while (start > 0 && text[start - 1] != L'\\' && text[start - 1] != L'/') --start;
  name = text + start;
  length = path.Length() - start;
}

void FillFinding(ProgramFinding& finding, const BlockRule* rule, const ProcessListItem& item, bool havePath,
                 const WideBuffer& path) {
  finding.rule = rule;
  finding.processId = item.processId;
  bool kept = havePath ? finding.imageName.Append(path.CStr(), path.Length())
                       : finding.imageName.Append(item.imageName, item.imageNameLength);
  if (!kept) finding.imageName.Clear();
  // Only a hard-cheat row asks for the handle test: it is the costly part
  // of a scan, and only its answer changes what the guard does.
  uint32_t accessMask = 0;
  if (rule->category == kHardCheatCategory && FindGameAccessHeldBy(item.processId, item.createTime, accessMask)) {
    finding.holdsGameAccess = 1;
    finding.accessMask = accessMask;
  }
}
}  // namespace

ProgramScanResult ScanRunningPrograms(bool fullScan, ProgramFinding& finding, DWORD& windowsError) {
  ExclusiveScanLock lock;
  ClearFinding(finding);
  windowsError = 0;

  NativeBuffer list;
  size_t filled = 0;
  if (!QueryProcessList(&guard.processListBytes, list, filled, windowsError)) return kProgramScanFailed;
  WideBuffer path;
  if (!path.Allocate(kImagePathCapacity)) {
    windowsError = ERROR_NOT_ENOUGH_MEMORY;
    return kProgramScanFailed;
  }

  const DWORD ownProcessId = GetCurrentProcessId();
  ProcessListWalker walker(list.Data(), filled);
  ProcessListItem item = {};
  while (walker.Next(item)) {
    // The client itself is never a finding, whatever its file is called.
    if (item.processId == ownProcessId || item.processId == 0) continue;
    const BlockRule* rule = MatchBlockedProgramName(item.imageName, item.imageNameLength);
    bool havePath = (rule || fullScan) && ReadImagePath(item.processId, path);
    if (!rule && havePath) {
      const wchar_t* fileName = nullptr;
      size_t fileNameLength = 0;
      FileNamePart(path, fileName, fileNameLength);
      rule = MatchBlockedProgramName(fileName, fileNameLength);
      if (!rule) rule = MatchProgramVersionResource(path.CStr());
    }
    if (!rule) continue;
    FillFinding(finding, rule, item, havePath, path);
    return kProgramScanFinding;
  }
  return kProgramScanClean;
}
