#include "platform/native_system_information.h"

#include <cstring>

#include "platform/win32_calls.h"

namespace {
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);
constexpr LONG kStatusBufferTooSmall = static_cast<LONG>(0xC0000023);
constexpr LONG kStatusBufferOverflow = static_cast<LONG>(0x80000005);
constexpr int kMaximumQueryRounds = 8;
// A busy server has a few hundred thousand handles (28 bytes each); anything
// far beyond that is not a table we can afford to read inside a game.
constexpr size_t kMaximumQueryBytes = 64u * 1024u * 1024u;
constexpr size_t kInitialProcessListBytes = 128u * 1024u;

// What the next read starts from: the bytes this read filled plus room for
// the churn between two passes of the monitor (seconds apart), in which a
// desktop opens and closes a few percent of its handles and starts the odd
// process. An eighth of the table, and at least 16 KiB (some five hundred
// handle rows, a few dozen processes with their threads), keeps the next
// read at one kernel call as a rule. Remembering the filled bytes rather
// than the buffer lets the size shrink again: a single spike of the handle
// table must not pin megabytes of a 32-bit address space for every later
// pass. It never exceeds the buffer that held this answer, so a system that
// does not report the bytes written leaves the size where it was.
size_t SizeToRemember(size_t filled, size_t bufferSize) {
  size_t wanted = filled + filled / 8 + 16384;
  return wanted < bufferSize ? wanted : bufferSize;
}

DWORD WindowsErrorFromStatus(LONG status) {
  DWORD error = win32Calls.RtlNtStatusToDosError(status);
  return error ? error : ERROR_GEN_FAILURE;
}
}  // namespace

bool QuerySystemInformation(ULONG informationClass, size_t initialSize, volatile LONG* remembered,
                            NativeBuffer& buffer, size_t& filled, DWORD& windowsError) {
  filled = 0;
  windowsError = 0;
  // A desktop's tables outgrow the first guesses; starting from what the
  // last read needed saves a kernel call (and a table walk) per read.
  size_t size = initialSize;
  if (remembered) {
    LONG last = InterlockedCompareExchange(remembered, 0, 0);
    if (last > 0 && static_cast<size_t>(last) > size && static_cast<size_t>(last) <= kMaximumQueryBytes)
      size = static_cast<size_t>(last);
  }
  for (int round = 0; round < kMaximumQueryRounds; ++round) {
    if (size > kMaximumQueryBytes) break;
    if (!buffer.Allocate(size)) {
      windowsError = ERROR_NOT_ENOUGH_MEMORY;
      return false;
    }
    ULONG needed = 0;
    LONG status = win32Calls.NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(informationClass),
                                                      buffer.Data(), static_cast<ULONG>(size), &needed);
    if (status >= 0) {
      // Some systems report the bytes written, some leave it 0; never trust
      // more than the buffer holds.
      filled = (needed == 0 || needed > size) ? size : needed;
      if (remembered) InterlockedExchange(remembered, static_cast<LONG>(SizeToRemember(filled, size)));
      return true;
    }
    if (status != kStatusInfoLengthMismatch && status != kStatusBufferTooSmall && status != kStatusBufferOverflow) {
      windowsError = WindowsErrorFromStatus(status);
      return false;
    }
    // The table may grow between two calls: ask for more than was said.
    size_t grown = static_cast<size_t>(needed) + static_cast<size_t>(needed) / 4 + 16384;
    size = grown > size * 2 ? grown : size * 2;
  }
  windowsError = ERROR_INSUFFICIENT_BUFFER;
  return false;
}

bool ProcessListWalker::Next(ProcessListItem& item) {
  while (!done_) {
    if (offset_ > filled_ || filled_ - offset_ < sizeof(NativeProcessEntry)) {
      done_ = true;
      return false;
    }
    NativeProcessEntry entry;
    std::memcpy(&entry, data_ + offset_, sizeof(entry));
    if (entry.nextEntryOffset == 0 || entry.nextEntryOffset > filled_ - offset_) {
      done_ = true;
    } else {
      offset_ += entry.nextEntryOffset;
    }
    item.processId = static_cast<DWORD>(entry.uniqueProcessId);
    item.createTime = static_cast<ULONGLONG>(entry.createTime);
    item.imageName = L"";
    item.imageNameLength = 0;
    // The name lives inside the same answer; a pointer that leaves it is
    // not followed.
    const uint8_t* name = reinterpret_cast<const uint8_t*>(entry.imageName.buffer);
    size_t nameBytes = entry.imageName.length & ~1u;
    if (name && nameBytes && name >= data_ && name <= data_ + filled_ &&
        static_cast<size_t>(data_ + filled_ - name) >= nameBytes) {
      item.imageName = entry.imageName.buffer;
      item.imageNameLength = nameBytes / sizeof(wchar_t);
    }
    return true;
  }
  return false;
}

bool QueryProcessList(volatile LONG* remembered, NativeBuffer& buffer, size_t& filled, DWORD& windowsError) {
  return QuerySystemInformation(kSystemProcessInformationClass, kInitialProcessListBytes, remembered, buffer, filled,
                                windowsError);
}
