#pragma once
// The process list and the handle table as the native API hands them out.
// The documented headers leave these records opaque, so their layouts are
// declared here and pinned by static_assert: a wrong offset would read a
// neighbouring field silently, which is worse than failing to build. The
// product is 32-bit; the 64-bit layouts serve the 64-bit check build of the
// tests (they differ only by the width of pointers).
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "platform/byte_buffer.h"

constexpr ULONG kSystemProcessInformationClass = 5;
constexpr ULONG kSystemExtendedHandleInformationClass = 64;

struct NativeUnicodeString {
  USHORT length;  // bytes, no terminator
  USHORT maximumLength;
  const wchar_t* buffer;
};
#ifdef _WIN64
constexpr size_t kNativePointerBytes = 8;
#else
constexpr size_t kNativePointerBytes = 4;
#endif
static_assert(sizeof(void*) == kNativePointerBytes, "native layouts of another architecture");
static_assert(sizeof(NativeUnicodeString) == 2 * kNativePointerBytes, "UNICODE_STRING");

struct NativeProcessEntry {
  ULONG nextEntryOffset;
  ULONG numberOfThreads;
  uint8_t counters[24];  // private working set, hard faults, thread high-water mark, cycle time
  LONGLONG createTime;   // FILETIME units, as GetProcessTimes reports it
  uint8_t cpuTimes[16];  // user and kernel time
  NativeUnicodeString imageName;  // file name only; empty for the idle process
  LONG basePriority;
  ULONG_PTR uniqueProcessId;
  ULONG_PTR inheritedFromUniqueProcessId;
};
static_assert(offsetof(NativeProcessEntry, createTime) == 32 && sizeof(LONGLONG) == 8, "SYSTEM_PROCESS_INFORMATION");
static_assert(offsetof(NativeProcessEntry, imageName) == 56, "SYSTEM_PROCESS_INFORMATION");
static_assert(offsetof(NativeProcessEntry, uniqueProcessId) == (kNativePointerBytes == 4 ? 68 : 80),
              "SYSTEM_PROCESS_INFORMATION");

struct NativeHandleEntry {
  // Zero for unprivileged callers on Windows 11 24H2 and later (and for
  // low-integrity ones before), always under Wine; a 32-bit caller on 64-bit
  // Windows sees the low half of the address.
  ULONG_PTR object;
  ULONG_PTR uniqueProcessId;
  ULONG_PTR handleValue;
  ULONG grantedAccess;
  USHORT creatorBackTraceIndex;
  USHORT objectTypeIndex;  // numbering differs between systems: found at run time
  ULONG handleAttributes;
  ULONG reserved;
};
static_assert(sizeof(NativeHandleEntry) == 3 * kNativePointerBytes + 16, "SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX");
static_assert(offsetof(NativeHandleEntry, grantedAccess) == 3 * kNativePointerBytes,
              "SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX");
static_assert(offsetof(NativeHandleEntry, objectTypeIndex) == 3 * kNativePointerBytes + 6,
              "SYSTEM_HANDLE_TABLE_ENTRY_INFO_EX");

struct NativeHandleTableHeader {
  ULONG_PTR numberOfHandles;
  ULONG_PTR reserved;
};
static_assert(sizeof(NativeHandleTableHeader) == 2 * kNativePointerBytes, "SYSTEM_HANDLE_INFORMATION_EX header");

// The answers of the native queries hold no secrets.
using NativeBuffer = ByteBuffer<BufferWipe::kNone>;

// One NtQuerySystemInformation answer, growing the buffer while the system
// says it is too small. It starts from the larger of `initialSize` and
// `*remembered` (atomics only; null to remember nothing), and stores there
// what this answer filled plus a margin, so that the size follows the table
// down as well as up. The growth
// is bounded in rounds and in size, so a table that keeps growing faster
// than we read it ends in failure instead of an endless loop. On success
// `filled` is the number of valid bytes; on failure `windowsError` holds a
// nonzero Windows error code.
bool QuerySystemInformation(ULONG informationClass, size_t initialSize, volatile LONG* remembered,
                            NativeBuffer& buffer, size_t& filled, DWORD& windowsError);

// Walks a process list answer, checking every offset and name against the
// bytes actually filled.
struct ProcessListItem {
  DWORD processId;
  // Tells this process from a later one that is given the same id once
  // this one has ended.
  ULONGLONG createTime;
  const wchar_t* imageName;  // not terminated
  size_t imageNameLength;    // code units
};
class ProcessListWalker {
 public:
  ProcessListWalker(const uint8_t* data, size_t filled) : data_(data), filled_(filled) {}
  bool Next(ProcessListItem& item);

 private:
  const uint8_t* data_;
  size_t filled_;
  size_t offset_ = 0;
  bool done_ = false;
};

// The whole process list of the machine.
bool QueryProcessList(volatile LONG* remembered, NativeBuffer& buffer, size_t& filled, DWORD& windowsError);
