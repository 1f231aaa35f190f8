#include "integrity/client_paths.h"

#include "state/guard_state.h"
#include "platform/win32_calls.h"

bool ResolveClientDirectory(WideBuffer& directory) {
  directory.Clear();
  WideBuffer modulePath;
  if (!modulePath.Allocate(kPathBufferCapacity)) return false;
  DWORD length = win32Calls.GetModuleFileNameW(guard.moduleHandle, modulePath.Data(), kPathBufferCapacity);
  // A result of the full capacity means the name was cut short.
  if (length == 0 || length >= kPathBufferCapacity) return false;
  const size_t directoryLength = DirectoryPartLength(modulePath.Data(), length);
  return directoryLength != 0 && directory.Assign(modulePath.Data(), directoryLength);
}

bool BuildManifestFilePath(const wchar_t* clientDirectory, const wchar_t* relativePath, WideBuffer& fullPath) {
  fullPath.Clear();
  if (!IsBareFileName(relativePath) || !clientDirectory) return false;
  WideBuffer joined;
  if (!joined.Append(clientDirectory) || !joined.Append(relativePath)) return false;
  if (!fullPath.Allocate(kPathBufferCapacity)) return false;
  DWORD length = win32Calls.GetFullPathNameW(joined.CStr(), kPathBufferCapacity, fullPath.Data(), nullptr);
  if (length == 0 || length >= kPathBufferCapacity) {
    fullPath.Clear();
    return false;
  }
  fullPath.SetLength(length);
  return true;
}

bool GetFinalFilePath(HANDLE file, WideBuffer& finalPath) {
  finalPath.Clear();
  DWORD needed = win32Calls.GetFinalPathNameByHandleW(file, nullptr, 0, 0);
  if (needed == 0 || needed == MAXDWORD) return false;
  DWORD capacity = needed + 1;
  if (!finalPath.Allocate(capacity)) return false;
  DWORD length = win32Calls.GetFinalPathNameByHandleW(file, finalPath.Data(), capacity, 0);
  // A result not smaller than the buffer means the path grew meanwhile.
  if (length == 0 || length >= capacity) {
    finalPath.Clear();
    return false;
  }
  finalPath.SetLength(length);
  StripExtendedPathPrefix(finalPath);
  return true;
}
