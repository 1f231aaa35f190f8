// The system handle table lists every handle with its owner and granted
// access, but says which object it refers to only through the object
// address, which is zero for unprivileged callers on recent Windows and
// always under Wine. So each candidate (a process-type handle owned by the
// holder) is first copied into this process and compared with a handle of
// our own: that is proof, not inference. A holder that runs elevated, as
// SYSTEM or as another user cannot be opened for copying; its rows are then
// matched by object address against the row of our own handle, where the
// system shows addresses at all. Nothing is claimed that neither way saw.
// The access counted is the copy's own: between the table's read and the
// copy the holder may have closed the listed handle and opened another
// under the same value, and the row then describes a handle that is gone.
//
// The holder is named by the process id of an earlier process-list read. If
// the listed program ended meanwhile, another one (an overlay) may have been
// given its id; its handles are no evidence against the listed program, so
// the creation time tells the two apart before any row counts.
#include "checks/game_access_handles.h"

#include "platform/native_system_information.h"
#include "state/guard_state.h"
#include "platform/handle_owner.h"
#include "platform/win32_calls.h"

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

// The process id behind a copied handle. Reading it needs a query right,
// which a memory editor's handle may well lack (read, write and operation
// rights only), so a second copy within this process asks for one: the
// system checks that against the process's own security, which gives this
// process every right on itself.
DWORD ProcessIdOfCopy(HANDLE copy) {
  DWORD id = win32Calls.GetProcessId(copy);
  if (id != 0) return id;
  HANDLE rawQuery = nullptr;
  if (!win32Calls.DuplicateHandle(GetCurrentProcess(), copy, GetCurrentProcess(), &rawQuery,
                                  PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0))
    return 0;  // no query right to be had: not this process
  HandleOwner query(rawQuery);
  return win32Calls.GetProcessId(query.Get());
}

// False when the copy cannot be identified; `same` then means nothing.
bool CopyRefersToThisProcess(HANDLE copy, HANDLE self, CompareObjectHandlesFunction compare, bool& same) {
  same = false;
  if (compare) {
    same = compare(copy, self) != FALSE;
    return true;
  }
  // Before Windows 10 1607 there is no CompareObjectHandles: the process id
  // tells instead.
  DWORD id = ProcessIdOfCopy(copy);
  if (id == 0) return false;
  same = id == GetCurrentProcessId();
  return true;
}

// The access granted through a copy made with the source's access, which is
// the access of the holder's handle as it is now.
bool GrantedAccessOf(HANDLE copy, ACCESS_MASK& granted) {
  PUBLIC_OBJECT_BASIC_INFORMATION basic = {};
  ULONG length = 0;
  if (win32Calls.NtQueryObject(copy, ObjectBasicInformation, &basic, sizeof(basic), &length) < 0) return false;
  granted = basic.GrantedAccess;
  return true;
}

// What the guard can see of one candidate row: a copy compared with our own
// handle when the holder lets us copy, else the object address when the
// system shows it (`selfObject` nonzero). True, with the access granted
// through the holder's handle, when it refers to this process.
bool RowAccessToThisProcess(const NativeHandleEntry& entry, HANDLE holder, HANDLE self, ULONG_PTR selfObject,
                            CompareObjectHandlesFunction compare, ACCESS_MASK& granted) {
  granted = 0;
  if (holder) {
    HANDLE rawCopy = nullptr;
    if (win32Calls.DuplicateHandle(holder, reinterpret_cast<HANDLE>(entry.handleValue), GetCurrentProcess(), &rawCopy,
                                   0, FALSE, DUPLICATE_SAME_ACCESS)) {
      HandleOwner copy(rawCopy);
      bool same = false;
      if (CopyRefersToThisProcess(copy.Get(), self, compare, same))
        return same && GrantedAccessOf(copy.Get(), granted);
    }
    // Closed meanwhile, not ours to copy, or not identifiable: the address
    // may still tell.
  }
  if (selfObject == 0 || entry.object != selfObject) return false;
  // Address and access come from the same row of one table read.
  granted = entry.grantedAccess;
  return true;
}

// Whether `process` was created at `createTime`, the listed one's time.
bool CreatedAt(HANDLE process, ULONGLONG createTime) {
  FILETIME creation = {};
  FILETIME exit = {};
  FILETIME kernel = {};
  FILETIME user = {};
  if (!win32Calls.GetProcessTimes(process, &creation, &exit, &kernel, &user)) return false;
  ULONGLONG created = (static_cast<ULONGLONG>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
  return created == createTime;
}

// For a holder the guard cannot even query (another user's, SYSTEM's), so
// cannot hold on to: its id still names a process of the listed creation
// time after the handle table was read. A process with that id and time at
// the list's read and at this one had the id throughout, the table's read
// included.
bool StillListedAfterTableRead(DWORD processId, ULONGLONG createTime) {
  NativeBuffer list;
  size_t filled = 0;
  DWORD error = 0;
  if (!QueryProcessList(&guard.processListBytes, list, filled, error)) return false;
  ProcessListWalker walker(list.Data(), filled);
  ProcessListItem item = {};
  while (walker.Next(item)) {
    if (item.processId == processId) return item.createTime == createTime;
  }
  return false;
}

// The table row of `self`, a handle this process just opened: its type index
// is the one of process handles on this system, and its object address (when
// shown) is the one of this process.
const NativeHandleEntry* FindOwnRow(const NativeHandleEntry* entries, size_t count, HANDLE self) {
  const ULONG_PTR ownId = GetCurrentProcessId();
  const ULONG_PTR selfValue = reinterpret_cast<ULONG_PTR>(self);
  for (size_t i = 0; i < count; ++i) {
    if (entries[i].uniqueProcessId == ownId && entries[i].handleValue == selfValue) return &entries[i];
  }
  return nullptr;
}
}  // namespace

bool FindGameAccessHeldBy(DWORD holderProcessId, ULONGLONG holderCreateTime, uint32_t& accessMask) {
  accessMask = 0;
  if (holderProcessId == 0 || holderProcessId == GetCurrentProcessId()) return false;
  HandleOwner self(win32Calls.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, GetCurrentProcessId()));
  if (!self.Valid()) return false;
  // While this handle is open the id cannot pass to another process, so the
  // rows read below belong to the process whose creation time is compared
  // here. The limited query is granted on elevated processes of the same
  // user too; only another user's or SYSTEM's process refuses it.
  HandleOwner pinned(win32Calls.OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, holderProcessId));
  if (pinned.Valid() && !CreatedAt(pinned.Get(), holderCreateTime)) return false;
  // Fails for a holder that runs elevated, as SYSTEM or as another user.
  HandleOwner holder(win32Calls.OpenProcess(PROCESS_DUP_HANDLE, FALSE, holderProcessId));

  NativeBuffer table;
  size_t filled = 0;
  DWORD error = 0;
  if (!QuerySystemInformation(kSystemExtendedHandleInformationClass, kInitialHandleTableBytes, &guard.handleTableBytes,
                              table, filled, error))
    return false;
  if (filled < sizeof(NativeHandleTableHeader)) return false;
  const NativeHandleTableHeader* header = reinterpret_cast<const NativeHandleTableHeader*>(table.Data());
  size_t room = (filled - sizeof(NativeHandleTableHeader)) / sizeof(NativeHandleEntry);
  size_t count = header->numberOfHandles < room ? header->numberOfHandles : room;
  const NativeHandleEntry* entries =
      reinterpret_cast<const NativeHandleEntry*>(table.Data() + sizeof(NativeHandleTableHeader));

  const NativeHandleEntry* ownRow = FindOwnRow(entries, count, self.Get());
  if (!ownRow) return false;
  const USHORT processType = ownRow->objectTypeIndex;
  const ULONG_PTR selfObject = ownRow->object;
  if (!holder.Valid() && selfObject == 0) return false;  // neither way can see anything
  CompareObjectHandlesFunction compare = holder.Valid() ? FindCompareObjectHandles() : nullptr;

  uint32_t seen = 0;
  for (size_t i = 0; i < count; ++i) {
    const NativeHandleEntry& entry = entries[i];
    if (entry.uniqueProcessId != holderProcessId || entry.objectTypeIndex != processType) continue;
    ACCESS_MASK granted = 0;
    if (RowAccessToThisProcess(entry, holder.Get(), self.Get(), selfObject, compare, granted)) seen |= granted;
  }
  if ((seen & kGameAccessRights) == 0) return false;
  if (!pinned.Valid() && !StillListedAfterTableRead(holderProcessId, holderCreateTime)) return false;
  accessMask = seen;
  return true;
}
