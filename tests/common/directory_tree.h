#pragma once
// File helpers that the unit and the end-to-end tests share.
#include <windows.h>

#include <string>

// Removes a directory with everything below it; the path may end with a
// backslash or not. Best effort: what is still open stays.
inline void RemoveDirectoryTree(const std::wstring& directory) {
  std::wstring base = directory;
  if (!base.empty() && base.back() != L'\\') base += L'\\';
  WIN32_FIND_DATAW data;
  HANDLE find = FindFirstFileW((base + L"*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = data.cFileName;
      if (name == L"." || name == L"..") continue;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        RemoveDirectoryTree(base + name);
      else
        DeleteFileW((base + name).c_str());
    } while (FindNextFileW(find, &data));
    FindClose(find);
  }
  RemoveDirectoryW(directory.c_str());
}

// The whole content of a file; empty when it cannot be opened.
inline std::string ReadFileBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) bytes.append(buffer, read);
  CloseHandle(file);
  return bytes;
}

// Inverts the first byte of a file in place: the smallest damage a check
// must notice.
inline bool FlipFirstByte(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BYTE b = 0;
  DWORD n = 0;
  bool ok = ReadFile(file, &b, 1, &n, nullptr) && n == 1;
  b ^= 0xFF;
  ok = ok && SetFilePointer(file, 0, nullptr, FILE_BEGIN) == 0 && WriteFile(file, &b, 1, &n, nullptr) && n == 1;
  CloseHandle(file);
  return ok;
}
