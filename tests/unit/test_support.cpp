#include "test_support.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

void ResetGuardForTest() {
  RestoreWin32Calls();
  HMODULE module = guard.moduleHandle;
  // Byte for byte, padding included, as the loader gives it: the hard-cheat
  // tests compare the whole state block with zeros.
  std::memset(static_cast<void*>(&guard), 0, sizeof(guard));
  wcscpy(guard.lastErrorText, L"ZarnelGuard initialization failed.");
  guard.moduleHandle = module;
  InitOnceInitialize(&guard.startupOnce);
  InitializeSRWLock(&guard.deviceKeyLock);
  InitializeSRWLock(&guard.processScanLock);
  InitializeSRWLock(&guard.hardCheatLock);
}

TempDirectory::TempDirectory() {
  wchar_t base[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, base);
  static LONG counter = 0;
  wchar_t name[64];
  swprintf(name, 64, L"zg-test-%lu-%ld\\", GetCurrentProcessId(), InterlockedIncrement(&counter));
  path_ = std::wstring(base) + name;
  CreateDirectoryW(path_.c_str(), nullptr);
}

TempDirectory::~TempDirectory() { RemoveDirectoryTree(path_); }

std::wstring TempDirectory::WriteFile(const std::wstring& name, const std::string& content) const {
  std::wstring full = path_ + name;
  HANDLE file = CreateFileW(full.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    DWORD written = 0;
    ::WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
  }
  return full;
}

std::string ToHex(const unsigned char* bytes, size_t length) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (size_t i = 0; i < length; ++i) {
    text += digits[bytes[i] >> 4];
    text += digits[bytes[i] & 15];
  }
  return text;
}

std::wstring FormatText(const wchar_t* format, ...) {
  wchar_t text[1024];
  va_list args;
  va_start(args, format);
  int length = vswprintf(text, 1024, format, args);
  va_end(args);
  return length < 0 ? std::wstring(L"(format failed)") : std::wstring(text, static_cast<size_t>(length));
}

std::wstring TextBeforeFirstField(const wchar_t* format) {
  const wchar_t* field = wcschr(format, L'%');
  return field ? std::wstring(format, field) : std::wstring(format);
}
