#include "checks/wow64_image_path.h"

#include <windows.h>

#include <cwchar>

#include "platform/win32_calls.h"
#include "platform/path_text.h"

namespace {
bool RunsUnderWow64() {
  BOOL wow64 = FALSE;
  if (!win32Calls.IsWow64Process(GetCurrentProcess(), &wow64)) return false;
  return wow64 != FALSE;
}

// The system directory without a verbatim prefix or trailing separator, and
// the length of its parent (the Windows directory) within it. Taking the
// parent of the system directory instead of asking for the Windows directory
// avoids the per-user Windows directory that Terminal Services hands to
// programs not marked as aware of it.
bool ReadSystemDirectory(wchar_t (&directory)[MAX_PATH + 1], const wchar_t*& start, size_t& length,
                         size_t& parentLength) {
  UINT written = win32Calls.GetSystemDirectoryW(directory, MAX_PATH + 1);
  if (written == 0 || written > MAX_PATH) return false;
  start = directory + VerbatimPrefixLength(directory);
  length = std::wcslen(start);
  while (length > 0 && start[length - 1] == L'\\') --length;
  parentLength = length;
  while (parentLength > 0 && start[parentLength - 1] != L'\\') --parentLength;
  if (parentLength < 2) return false;  // no parent to hold Sysnative
  --parentLength;  // without the separator
  return true;
}
}  // namespace

bool ImagePathForReading(const wchar_t* imagePath, WideBuffer& readPath) {
  const size_t pathLength = std::wcslen(imagePath);
  wchar_t directory[MAX_PATH + 1];
  const wchar_t* system = nullptr;
  size_t systemLength = 0;
  size_t windowsLength = 0;
  if (!RunsUnderWow64() || !ReadSystemDirectory(directory, system, systemLength, windowsLength))
    return readPath.Assign(imagePath, pathLength);

  // The system directory's name is ASCII on every Windows; a path that
  // differs from it beyond ASCII case is read as it is.
  const size_t prefixLength = VerbatimPrefixLength(imagePath);
  const wchar_t* path = imagePath + prefixLength;
  if (pathLength - prefixLength <= systemLength || path[systemLength] != L'\\' ||
      !PathsEqualFoldingAscii(path, systemLength, system, systemLength))
    return readPath.Assign(imagePath, pathLength);

  readPath.Clear();
  return readPath.Append(imagePath, prefixLength) && readPath.Append(system, windowsLength) &&
         readPath.Append(L"\\Sysnative") && readPath.Append(path + systemLength);
}
