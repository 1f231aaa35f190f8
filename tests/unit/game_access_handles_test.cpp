// Whether a blocked program holds access to the client, through the
// system-call seam: a small world of handles (the client's own, the
// holder's rows in the handle table, the copies the guard makes) that
// behaves as Windows does where it matters: a holder that runs elevated
// cannot be opened for copying (one of another user cannot even be queried),
// object addresses may be hidden, older systems lack CompareObjectHandles, a
// process id needs a query right, and a process id passes to a new process
// once its process has ended, and a handle value once its handle was closed.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "checks/detection_checks.h"
#include "checks/game_access_handles.h"
#include "platform/native_system_information.h"
#include "test_support.h"

namespace {
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr LONG kStatusAccessDenied = static_cast<LONG>(0xC0000022);
constexpr USHORT kProcessType = 7;
constexpr USHORT kThreadType = 8;
constexpr DWORD kHolderId = 4100;
constexpr DWORD kOtherId = 4200;  // a process the holder also has open
constexpr DWORD kMemoryRights = PROCESS_VM_READ | PROCESS_VM_WRITE | PROCESS_VM_OPERATION;
// The holder's creation time as an earlier process list showed it, and the
// one of a process started later that was given the same id.
constexpr ULONGLONG kListedCreateTime = 0x01DB2C4F12345670ull;
constexpr ULONGLONG kLaterCreateTime = kListedCreateTime + 35000000ull;

// A handle open in the test process (the guard's own, or a copy it made).
struct LocalHandle {
  DWORD processId;
  ACCESS_MASK access;
};
// A handle the holder has open.
struct HolderRow {
  ULONG_PTR handleValue;
  DWORD target;
  ACCESS_MASK access;
  USHORT type;
  bool copyable;  // false: the copy fails as for a handle closed meanwhile
  // Nonzero: after the table was read the handle was closed and another one
  // to the same process opened under its value, with this access.
  ACCESS_MASK accessNow = 0;
};

struct World {
  bool holderOpens = true;      // for copying: false for an elevated holder
  bool holderQueryable = true;  // false for another user's or SYSTEM's holder
  // The creation time of the process that has the holder's id now, as
  // GetProcessTimes and the process list report it, and whether the first
  // fails.
  ULONGLONG holderCreateTime = kListedCreateTime;
  ULONGLONG listedCreateTime = kListedCreateTime;
  bool timesFail = false;
  bool objectQueryFails = false;
  bool objectsShown = false;
  bool compareExists = true;
  std::vector<HolderRow> holderRows;
  size_t fillerRows = 0;  // rows of unrelated processes, to make the table large
  std::map<HANDLE, LocalHandle> local;
  ULONG_PTR nextValue = 0x40000;
  int tableQueries = 0;
} world;

ULONG_PTR ObjectOf(DWORD processId) { return world.objectsShown ? 0x8A000000u + processId * 0x80u : 0; }

HANDLE NewLocal(DWORD processId, ACCESS_MASK access) {
  HANDLE handle = reinterpret_cast<HANDLE>(world.nextValue);
  world.nextValue += 4;
  world.local[handle] = {processId, access};
  return handle;
}

bool CanQuery(ACCESS_MASK access) {
  return (access & (PROCESS_QUERY_INFORMATION | PROCESS_QUERY_LIMITED_INFORMATION)) != 0;
}

HANDLE WINAPI FakeOpenProcess(DWORD access, BOOL, DWORD processId) {
  const bool queryOnly = (access & ~PROCESS_QUERY_LIMITED_INFORMATION) == 0;
  if (processId == GetCurrentProcessId() ||
      (processId == kHolderId && (queryOnly ? world.holderQueryable : world.holderOpens)))
    return NewLocal(processId, access);
  SetLastError(ERROR_ACCESS_DENIED);
  return nullptr;
}

BOOL WINAPI FakeCloseHandle(HANDLE handle) {
  if (world.local.erase(handle) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL WINAPI FakeDuplicateHandle(HANDLE sourceProcess, HANDLE source, HANDLE targetProcess, LPHANDLE target,
                                DWORD access, BOOL, DWORD options) {
  *target = nullptr;
  if (targetProcess != GetCurrentProcess()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const bool sameAccess = (options & DUPLICATE_SAME_ACCESS) != 0;
  if (sourceProcess == GetCurrentProcess()) {
    auto it = world.local.find(source);
    if (it == world.local.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    // Rights beyond the source handle's are checked against the process's
    // security: the client has every right on itself and, here, none on
    // any other process.
    if (!sameAccess && (access & ~it->second.access) && it->second.processId != GetCurrentProcessId()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return FALSE;
    }
    *target = NewLocal(it->second.processId, sameAccess ? it->second.access : access);
    return TRUE;
  }
  auto holder = world.local.find(sourceProcess);
  if (holder == world.local.end() || holder->second.processId != kHolderId ||
      !(holder->second.access & PROCESS_DUP_HANDLE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  for (const HolderRow& row : world.holderRows) {
    if (row.handleValue != reinterpret_cast<ULONG_PTR>(source)) continue;
    if (!row.copyable) break;
    *target = NewLocal(row.target, sameAccess ? (row.accessNow ? row.accessNow : row.access) : access);
    return TRUE;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return FALSE;
}

DWORD WINAPI FakeGetProcessId(HANDLE handle) {
  auto it = world.local.find(handle);
  if (it == world.local.end() || !CanQuery(it->second.access)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
  }
  return it->second.processId;
}

BOOL WINAPI FakeGetProcessTimes(HANDLE process, LPFILETIME creation, LPFILETIME exit, LPFILETIME kernel,
                                LPFILETIME user) {
  auto it = world.local.find(process);
  if (world.timesFail || it == world.local.end() || !CanQuery(it->second.access) ||
      it->second.processId != kHolderId) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  creation->dwLowDateTime = static_cast<DWORD>(world.holderCreateTime);
  creation->dwHighDateTime = static_cast<DWORD>(world.holderCreateTime >> 32);
  *exit = FILETIME{};
  *kernel = FILETIME{};
  *user = FILETIME{};
  return TRUE;
}

NTSTATUS NTAPI FakeQueryObject(HANDLE handle, OBJECT_INFORMATION_CLASS informationClass, PVOID information,
                               ULONG size, PULONG returned) {
  auto it = world.local.find(handle);
  if (world.objectQueryFails || it == world.local.end()) return kStatusAccessDenied;
  if (informationClass != ObjectBasicInformation || size < sizeof(PUBLIC_OBJECT_BASIC_INFORMATION))
    return kStatusInfoLengthMismatch;
  PUBLIC_OBJECT_BASIC_INFORMATION basic = {};
  basic.GrantedAccess = it->second.access;
  basic.HandleCount = 1;
  std::memcpy(information, &basic, sizeof(basic));
  if (returned) *returned = sizeof(basic);
  return 0;
}

BOOL WINAPI FakeCompareObjectHandles(HANDLE first, HANDLE second) {
  auto a = world.local.find(first);
  auto b = world.local.find(second);
  return a != world.local.end() && b != world.local.end() && a->second.processId == b->second.processId;
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, LPCSTR name) {
  if (HIWORD(reinterpret_cast<ULONG_PTR>(name)) != 0 && std::strcmp(name, "CompareObjectHandles") == 0)
    return world.compareExists ? reinterpret_cast<FARPROC>(FakeCompareObjectHandles) : nullptr;
  return GetProcAddress(module, name);
}

NativeHandleEntry Row(DWORD owner, ULONG_PTR value, DWORD target, ACCESS_MASK access, USHORT type) {
  NativeHandleEntry entry = {};
  entry.object = ObjectOf(target);
  entry.uniqueProcessId = owner;
  entry.handleValue = value;
  entry.grantedAccess = access;
  entry.objectTypeIndex = type;
  return entry;
}

// The handle table as the system hands it out: every handle the test
// process holds, then the holder's, then the filler.
std::vector<NativeHandleEntry> HandleTable() {
  std::vector<NativeHandleEntry> rows;
  for (const auto& [handle, open] : world.local)
    rows.push_back(Row(GetCurrentProcessId(), reinterpret_cast<ULONG_PTR>(handle), open.processId, open.access,
                       kProcessType));
  for (const HolderRow& row : world.holderRows)
    rows.push_back(Row(kHolderId, row.handleValue, row.target, row.access, row.type));
  for (size_t i = 0; i < world.fillerRows; ++i)
    rows.push_back(Row(5000 + static_cast<DWORD>(i % 50), 4 * (i + 1), kOtherId, PROCESS_ALL_ACCESS, kProcessType));
  return rows;
}

// One process-list entry for the holder, under a hard-cheat row's name.
void WriteHolderListEntry(uint8_t* base) {
  static const wchar_t kName[] = L"cheatengine-x86_64.exe";
  NativeProcessEntry entry = {};
  entry.uniqueProcessId = kHolderId;
  entry.createTime = static_cast<LONGLONG>(world.listedCreateTime);
  wchar_t* name = reinterpret_cast<wchar_t*>(base + sizeof(entry));
  std::memcpy(name, kName, sizeof(kName));
  entry.imageName.length = static_cast<USHORT>(sizeof(kName) - sizeof(wchar_t));
  entry.imageName.maximumLength = sizeof(kName);
  entry.imageName.buffer = name;
  std::memcpy(base, &entry, sizeof(entry));
}

NTSTATUS NTAPI FakeQuery(SYSTEM_INFORMATION_CLASS informationClass, PVOID buffer, ULONG size, PULONG needed) {
  if (static_cast<ULONG>(informationClass) == kSystemProcessInformationClass) {
    ULONG total = sizeof(NativeProcessEntry) + 64;
    *needed = total;
    if (size < total) return kStatusInfoLengthMismatch;
    WriteHolderListEntry(static_cast<uint8_t*>(buffer));
    return 0;
  }
  if (static_cast<ULONG>(informationClass) != kSystemExtendedHandleInformationClass) return kStatusAccessDenied;
  ++world.tableQueries;
  std::vector<NativeHandleEntry> rows = HandleTable();
  ULONG total = static_cast<ULONG>(sizeof(NativeHandleTableHeader) + rows.size() * sizeof(NativeHandleEntry));
  *needed = total;
  if (size < total) return kStatusInfoLengthMismatch;
  NativeHandleTableHeader header = {rows.size(), 0};
  std::memcpy(buffer, &header, sizeof(header));
  std::memcpy(static_cast<uint8_t*>(buffer) + sizeof(header), rows.data(), rows.size() * sizeof(NativeHandleEntry));
  return 0;
}

class GameAccessSeam : public testing::Test {
 protected:
  void SetUp() override {
    world = World{};
    win32Calls.OpenProcess = FakeOpenProcess;
    win32Calls.CloseHandle = FakeCloseHandle;
    win32Calls.DuplicateHandle = FakeDuplicateHandle;
    win32Calls.GetProcessId = FakeGetProcessId;
    win32Calls.GetProcessTimes = FakeGetProcessTimes;
    win32Calls.GetProcAddress = FakeGetProcAddress;
    win32Calls.NtQuerySystemInformation = FakeQuery;
    win32Calls.NtQueryObject = FakeQueryObject;
  }
  void TearDown() override { EXPECT_TRUE(world.local.empty()) << "a handle the guard opened was left open"; }
};

// What a memory editor typically holds: memory rights on the client, a
// wait-only handle on it too, rights on another process, and a handle of
// another type (a thread of the client) that must never count.
std::vector<HolderRow> EditorRows() {
  return {
      {0x104, GetCurrentProcessId(), kMemoryRights, kProcessType, true},
      {0x108, kOtherId, PROCESS_CREATE_THREAD | PROCESS_VM_READ, kProcessType, true},
      {0x10C, GetCurrentProcessId(), SYNCHRONIZE, kProcessType, true},
      {0x110, GetCurrentProcessId(), THREAD_ALL_ACCESS, kThreadType, true},
  };
}
}  // namespace

TEST_F(GameAccessSeam, FindsTheAccessByEveryMeansTheSystemLeavesAndClaimsNothingUnseen) {
  constexpr DWORD kExpected = kMemoryRights | SYNCHRONIZE;
  struct {
    const char* what;
    bool holderOpens;
    bool objectsShown;
    bool compareExists;
    bool firstRowCopyable;
    bool found;
  } cases[] = {
      {"copies compared (Windows 10 1607 and later, Wine)", true, false, true, true, true},
      {"holder elevated, object addresses shown", false, true, true, true, true},
      {"holder elevated, object addresses hidden (Windows 11 24H2)", false, false, true, true, false},
      {"no CompareObjectHandles, memory rights only", true, false, false, true, true},
      {"no CompareObjectHandles, holder elevated, addresses shown", false, true, false, true, true},
      {"a row that cannot be copied, its address shown", true, true, true, false, true},
      {"a row that cannot be copied, addresses hidden", true, false, true, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    world = World{};
    world.holderOpens = c.holderOpens;
    world.objectsShown = c.objectsShown;
    world.compareExists = c.compareExists;
    world.holderRows = EditorRows();
    world.holderRows[0].copyable = c.firstRowCopyable;
    if (!c.firstRowCopyable) world.holderRows[2].copyable = false;
    uint32_t accessMask = 0xDEAD;
    EXPECT_EQ(FindGameAccessHeldBy(kHolderId, kListedCreateTime, accessMask), c.found);
    EXPECT_EQ(accessMask, c.found ? kExpected : 0u);
    EXPECT_TRUE(world.local.empty()) << "a handle the guard opened was left open";
  }
}

TEST_F(GameAccessSeam, AHolderWithoutGameRightsOrWithoutRowsHoldsNothing) {
  for (bool objectsShown : {false, true}) {
    world.objectsShown = objectsShown;
    world.holderRows = {{0x104, GetCurrentProcessId(), SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
                         kProcessType, true},
                        {0x108, kOtherId, PROCESS_ALL_ACCESS, kProcessType, true}};
    uint32_t accessMask = 0xDEAD;
    EXPECT_FALSE(FindGameAccessHeldBy(kHolderId, kListedCreateTime, accessMask));
    EXPECT_EQ(accessMask, 0u);
    world.holderRows.clear();
    EXPECT_FALSE(FindGameAccessHeldBy(kHolderId, kListedCreateTime, accessMask));
    EXPECT_EQ(accessMask, 0u);
  }
}

TEST_F(GameAccessSeam, AnElevatedEditorIsReportedAsHoldingAccessByTheScan) {
  world.holderOpens = false;
  world.objectsShown = true;
  world.holderRows = EditorRows();
  ProgramFinding finding = {};
  DWORD windowsError = 0;
  ASSERT_EQ(ScanRunningPrograms(false, finding, windowsError), kProgramScanFinding);
  ASSERT_NE(finding.rule, nullptr);
  EXPECT_EQ(finding.rule->category, kHardCheatCategory);
  EXPECT_EQ(finding.processId, kHolderId);
  EXPECT_EQ(finding.holdsGameAccess, 1);
  EXPECT_EQ(finding.accessMask, kMemoryRights | SYNCHRONIZE);
}

TEST_F(GameAccessSeam, TheNextReadOfAnUnchangedHandleTableIsOneKernelCall) {
  // More rows than the first buffer holds.
  world.fillerRows = 40000;
  world.holderRows = EditorRows();
  uint32_t accessMask = 0;
  EXPECT_TRUE(FindGameAccessHeldBy(kHolderId, kListedCreateTime, accessMask));
  EXPECT_GE(world.tableQueries, 2) << "the first buffer was too small";
  world.tableQueries = 0;
  EXPECT_TRUE(FindGameAccessHeldBy(kHolderId, kListedCreateTime, accessMask));
  EXPECT_EQ(world.tableQueries, 1);
}

TEST_F(GameAccessSeam, AProcessThatGotTheHoldersIdAfterItEndedHoldsNothingForIt) {
  struct {
    const char* what;
    bool holderOpens;
    bool holderQueryable;
    bool objectsShown;
    ULONGLONG createTimeNow;  // of the process under the holder's id
    bool timesFail;
    bool found;
  } cases[] = {
      {"the listed process, copies compared", true, true, false, kListedCreateTime, false, true},
      {"a later process, copies compared", true, true, false, kLaterCreateTime, false, false},
      {"a later process, elevated, addresses shown", false, true, true, kLaterCreateTime, false, false},
      {"its creation time cannot be read", true, true, false, kListedCreateTime, true, false},
      {"another user's, still listed after the table read", false, false, true, kListedCreateTime, false, true},
      {"another user's, a later process listed after the table read", false, false, true, kLaterCreateTime, false,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    world = World{};
    world.holderOpens = c.holderOpens;
    world.holderQueryable = c.holderQueryable;
    world.objectsShown = c.objectsShown;
    world.holderCreateTime = c.createTimeNow;
    world.listedCreateTime = c.createTimeNow;
    world.timesFail = c.timesFail;
    world.holderRows = EditorRows();
    uint32_t accessMask = 0xDEAD;
    EXPECT_EQ(FindGameAccessHeldBy(kHolderId, kListedCreateTime, accessMask), c.found);
    EXPECT_EQ(accessMask, c.found ? kMemoryRights | SYNCHRONIZE : 0u);
    EXPECT_TRUE(world.local.empty()) << "a handle the guard opened was left open";
  }
}

TEST_F(GameAccessSeam, TheScanSignsNoAccessForAnOverlayThatGotTheEditorsId) {
  // The list read by the scan still shows the editor; by the time its
  // holder is opened, an overlay with the same id holds memory rights.
  world.holderRows = EditorRows();
  world.holderCreateTime = kLaterCreateTime;
  ProgramFinding finding = {};
  DWORD windowsError = 0;
  ASSERT_EQ(ScanRunningPrograms(false, finding, windowsError), kProgramScanFinding);
  ASSERT_NE(finding.rule, nullptr);
  EXPECT_EQ(finding.processId, kHolderId);
  EXPECT_EQ(finding.holdsGameAccess, 0);
  EXPECT_EQ(finding.accessMask, 0u);
  // The same scan with the editor itself under the id signs its access.
  world.holderCreateTime = kListedCreateTime;
  ASSERT_EQ(ScanRunningPrograms(false, finding, windowsError), kProgramScanFinding);
  EXPECT_EQ(finding.holdsGameAccess, 1);
  EXPECT_EQ(finding.accessMask, kMemoryRights | SYNCHRONIZE);
}

TEST_F(GameAccessSeam, TheAccessCountedIsTheCopysNotTheTableRowsOfAnEarlierHandle) {
  const DWORD self = GetCurrentProcessId();
  struct {
    const char* what;
    std::vector<HolderRow> rows;
    bool holderOpens;
    bool objectsShown;
    bool objectQueryFails;
    DWORD expected;  // 0: no access found
  } cases[] = {
      {"memory rights closed, a wait-only handle under their value",
       {{0x104, self, kMemoryRights, kProcessType, true, SYNCHRONIZE}}, true, false, false, 0},
      {"a wait-only handle closed, memory rights under its value",
       {{0x10C, self, SYNCHRONIZE, kProcessType, true, kMemoryRights}}, true, false, false, kMemoryRights},
      {"the copy's access cannot be read", EditorRows(), true, false, true, 0},
      // Without a copy, address and access come from the one row that was
      // read together: what the holder had at that moment.
      {"holder elevated, addresses shown", {{0x104, self, kMemoryRights, kProcessType, true, SYNCHRONIZE}}, false,
       true, false, kMemoryRights},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    world = World{};
    world.holderRows = c.rows;
    world.holderOpens = c.holderOpens;
    world.objectsShown = c.objectsShown;
    world.objectQueryFails = c.objectQueryFails;
    uint32_t accessMask = 0xDEAD;
    EXPECT_EQ(FindGameAccessHeldBy(kHolderId, kListedCreateTime, accessMask), c.expected != 0);
    EXPECT_EQ(accessMask, c.expected);
    EXPECT_TRUE(world.local.empty()) << "a handle the guard opened was left open";
  }
}
