#pragma once
// Native stand-in for the guard's table of system calls: only the entries
// that the fuzzed files call, with the Windows signatures. The targets point
// them at models of the system (fuzz/shim/system_models.h) or at the fuzz
// input itself.
#include <windows.h>

struct Win32Calls {
  UINT (*GetSystemFirmwareTable)(DWORD provider, DWORD id, PVOID buffer, DWORD size);
  int (*MultiByteToWideChar)(UINT codePage, DWORD flags, LPCCH source, int sourceLength, LPWSTR target,
                             int targetLength);
  int (*WideCharToMultiByte)(UINT codePage, DWORD flags, LPCWCH source, int sourceLength, LPSTR target,
                             int targetLength, LPCCH defaultChar, LPBOOL usedDefault);
  BOOL (*GetStringTypeW)(DWORD infoType, LPCWCH source, int length, LPWORD types);
  DWORD (*GetModuleFileNameW)(HMODULE module, LPWSTR name, DWORD size);
  DWORD (*GetFullPathNameW)(LPCWSTR name, DWORD size, LPWSTR buffer, LPWSTR* filePart);
  DWORD (*GetFinalPathNameByHandleW)(HANDLE file, LPWSTR path, DWORD size, DWORD flags);
  DWORD (*GetCurrentProcessId)();
};

extern Win32Calls win32Calls;

void RestoreWin32Calls();
