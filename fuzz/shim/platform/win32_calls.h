#pragma once
// Native stand-in for the guard's table of system calls: only the entries
// that the identity readers call, with the Windows signatures (the real
// table names every call the guard makes, which a Linux build cannot
// declare). The targets point them at models of the system
// (fuzz/targets/system_models.h) or at the fuzz input itself. The path and
// evidence rules need no stand-in: they are pure files.
#include <windows.h>

struct Win32Calls {
  UINT (*GetSystemFirmwareTable)(DWORD provider, DWORD id, PVOID buffer, DWORD size);
  int (*MultiByteToWideChar)(UINT codePage, DWORD flags, LPCCH source, int sourceLength, LPWSTR target,
                             int targetLength);
  int (*WideCharToMultiByte)(UINT codePage, DWORD flags, LPCWCH source, int sourceLength, LPSTR target,
                             int targetLength, LPCCH defaultChar, LPBOOL usedDefault);
  BOOL (*GetStringTypeW)(DWORD infoType, LPCWCH source, int length, LPWORD types);
};

extern Win32Calls win32Calls;

void RestoreWin32Calls();
