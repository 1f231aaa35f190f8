#pragma once
// The number of handles this process holds, read from the system handle
// table (Wine's GetProcessHandleCount answers 0).
#include <windows.h>
#include <winternl.h>

#include <vector>

inline DWORD CountOwnHandles() {
  struct HandleEntry {
    PVOID object;
    ULONG_PTR processId;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
  };
  struct HandleTable {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
  };
  constexpr ULONG kSystemExtendedHandleInformation = 64;
  constexpr NTSTATUS kInfoLengthMismatch = static_cast<NTSTATUS>(0xC0000004);
  std::vector<char> buffer(1 << 18);
  ULONG needed = 0;
  NTSTATUS status;
  while ((status = NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(kSystemExtendedHandleInformation),
                                            buffer.data(), static_cast<ULONG>(buffer.size()), &needed)) ==
         kInfoLengthMismatch)
    buffer.resize(buffer.size() * 2);
  if (status != 0) return 0xFFFFFFFF;
  const HandleTable* table = reinterpret_cast<const HandleTable*>(buffer.data());
  DWORD count = 0;
  for (ULONG_PTR i = 0; i < table->count; ++i)
    if (table->entries[i].processId == GetCurrentProcessId()) ++count;
  return count;
}
