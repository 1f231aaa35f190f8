// The system handle table lists every handle with its owner and granted
// access, but says which object it refers to only through the object
// address, which is zero for unprivileged callers on recent Windows and
// always under Wine. So each candidate (a process-type handle owned by the
// holder) is copied into this process and compared with a handle of our
// own: that is proof, not inference.
#include "core/checks/game_access_handles.h"

#include "core/checks/native_system_information.h"
#include "core/handle_owner.h"
#include "core/win32_calls.h"

namespace {
// Starts large enough for a desktop's handle table in one round.
constexpr size_t kInitialHandleTableBytes = 512u * 1024u;

using CompareObjectHandlesFunction = BOOL(WINAPI*)(HANDLE, HANDLE);

CompareObjectHandlesFunction FindCompareObjectHandles() {
  // kernelbase holds it from Windows 10 on; older systems have none.
  HMODULE kernelBase = win32Calls.GetModuleHandleW(L"kernelbase.dll");
  if (!kernelBase) return nullptr;
  return reinterpret_cast<CompareObjectHandlesFunction>(
      reinterpret_cast<void*>(win32Calls.GetProcAddress(kernelBase, "CompareObjectHandles")));
}

bool RefersToThisProcess(HANDLE candidate, HANDLE self, CompareObjectHandlesFunction compare) {
  if (compare) return compare(candidate, self) != FALSE;
  // Without CompareObjectHandles the process id tells, when the copied
  // handle carries a query right; a handle without one stays unconfirmed.
  DWORD id = win32Calls.GetProcessId(candidate);
  return id != 0 && id == GetCurrentProcessId();
}

// The type index of process handles on this system: the index of the
// table row that describes `self`, a handle this process just opened.
bool FindProcessTypeIndex(const NativeHandleEntry* entries, size_t count, HANDLE self, USHORT& typeIndex) {
  const ULONG_PTR ownId = GetCurrentProcessId();
  const ULONG_PTR selfValue = reinterpret_cast<ULONG_PTR>(self);
  for (size_t i = 0; i < count; ++i) {
    if (entries[i].uniqueProcessId == ownId && entries[i].handleValue == selfValue) {
      typeIndex = entries[i].objectTypeIndex;
      return true;
    }
  }
  return false;
}
}  // namespace

bool FindGameAccessHeldBy(DWORD holderProcessId, uint32_t& accessMask) {
  accessMask = 0;
  if (holderProcessId == 0 || holderProcessId == GetCurrentProcessId()) return false;
  HandleOwner self(win32Calls.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentProcessId()));
  if (!self.Valid()) return false;
  HandleOwner holder(win32Calls.OpenProcess(PROCESS_DUP_HANDLE, FALSE, holderProcessId));
  if (!holder.Valid()) return false;

  NativeBuffer table;
  size_t filled = 0;
  DWORD error = 0;
  if (!QuerySystemInformation(kSystemExtendedHandleInformationClass, kInitialHandleTableBytes, table, filled, error))
    return false;
  if (filled < sizeof(NativeHandleTableHeader)) return false;
  const NativeHandleTableHeader* header = reinterpret_cast<const NativeHandleTableHeader*>(table.Data());
  size_t room = (filled - sizeof(NativeHandleTableHeader)) / sizeof(NativeHandleEntry);
  size_t count = header->numberOfHandles < room ? header->numberOfHandles : room;
  const NativeHandleEntry* entries =
      reinterpret_cast<const NativeHandleEntry*>(table.Data() + sizeof(NativeHandleTableHeader));

  USHORT processType = 0;
  if (!FindProcessTypeIndex(entries, count, self.Get(), processType)) return false;
  CompareObjectHandlesFunction compare = FindCompareObjectHandles();

  uint32_t seen = 0;
  for (size_t i = 0; i < count; ++i) {
    const NativeHandleEntry& entry = entries[i];
    if (entry.uniqueProcessId != holderProcessId || entry.objectTypeIndex != processType) continue;
    HANDLE rawCopy = nullptr;
    if (!win32Calls.DuplicateHandle(holder.Get(), reinterpret_cast<HANDLE>(entry.handleValue), GetCurrentProcess(),
                                    &rawCopy, 0, FALSE, DUPLICATE_SAME_ACCESS))
      continue;  // closed meanwhile, or not ours to copy
    HandleOwner copy(rawCopy);
    if (RefersToThisProcess(copy.Get(), self.Get(), compare)) seen |= entry.grantedAccess;
  }
  if ((seen & kGameAccessRights) == 0) return false;
  accessMask = seen;
  return true;
}
