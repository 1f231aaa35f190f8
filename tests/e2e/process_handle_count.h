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

// The guard loads ncrypt.dll and bcrypt.dll from the system directory at
// their first use, and they stay loaded for the life of the process (with
// whatever handles their own start-up opens), whoever loaded them first. A
// host that counts the guard's handles loads them before its first count,
// as a client that has used them already would have.
inline void LoadSystemCryptoLibraries() {
  LoadLibraryExW(L"ncrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  LoadLibraryExW(L"bcrypt.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}
