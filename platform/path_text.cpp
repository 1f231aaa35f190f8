#include "platform/path_text.h"

#include <cwchar>

bool IsBareFileName(const wchar_t* name) {
  if (!name || name[0] == L'\0') return false;
  if (std::wcscmp(name, L".") == 0 || std::wcscmp(name, L"..") == 0) return false;
  for (const wchar_t* c = name; *c; ++c) {
    if (*c == L'\\' || *c == L'/' || *c == L':') return false;
  }
  return true;
}

size_t VerbatimPrefixLength(const wchar_t* path) {
  static const wchar_t kVerbatimPrefix[] = L"\\\\?\\";
  return path && std::wcsncmp(path, kVerbatimPrefix, 4) == 0 ? 4 : 0;
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

size_t DirectoryPartLength(const wchar_t* path, size_t length) {
  for (size_t i = length; i > 0; --i) {
    if (path[i - 1] == L'\\' || path[i - 1] == L'/') return i;
  }
  return 0;
}
