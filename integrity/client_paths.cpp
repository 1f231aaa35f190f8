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
  const wchar_t* chars = modulePath.Data();
  for (DWORD i = length; i > 0; --i) {
    if (chars[i - 1] == L'\\' || chars[i - 1] == L'/') return directory.Assign(chars, i);
  }
  return false;
}

namespace {
bool IsSafeBareFileName(const wchar_t* name) {
  if (!name || name[0] == L'\0') return false;
  if (std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0) return false;
  for (const wchar_t* c = name; *c; ++c) {
    if (*c == L'\\' || *c == L'/' || *c == L':') return false;
  }
  return true;
}
}  // namespace

bool BuildManifestFilePath(const wchar_t* clientDirectory, const wchar_t* relativePath, WideBuffer& fullPath) {
  fullPath.Clear();
  if (!IsSafeBareFileName(relativePath) || !clientDirectory) return false;
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

void StripExtendedPathPrefix(WideBuffer& path) {
  static const wchar_t kNetworkPrefix[] = L"\\\\?\\UNC\\";
  static const wchar_t kDrivePrefix[] = L"\\\\?\\";
  wchar_t* chars = path.Data();
  size_t length = path.Length();
  if (length >= 8 && std::wmemcmp(chars, kNetworkPrefix, 8) == 0) {
    // The path already starts with the two backslashes it keeps; drop the
    // "?\UNC\" between them and the server name.
    std::wmemmove(chars + 2, chars + 8, length - 8);
    path.SetLength(length - 6);
  } else if (length >= 4 && std::wmemcmp(chars, kDrivePrefix, 4) == 0) {
    std::wmemmove(chars, chars + 4, length - 4);
    path.SetLength(length - 4);
  }
}

bool PathsEqualFoldingAscii(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength) {
  if (aLength != bLength) return false;
  for (size_t i = 0; i < aLength; ++i) {
    wchar_t x = a[i], y = b[i];
    if (x >= L'A' && x <= L'Z') x = static_cast<wchar_t>(x - L'A' + L'a');
    if (y >= L'A' && y <= L'Z') y = static_cast<wchar_t>(y - L'A' + L'a');
    if (x != y) return false;
  }
  return true;
}
