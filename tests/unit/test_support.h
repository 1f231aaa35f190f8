#pragma once
// Shared fixtures of the unit tests.
#include <windows.h>

#include <string>

#include "state/guard_state.h"
#include "directory_tree.h"
#include "platform/win32_calls.h"

// Puts the guard state back to what a fresh load gives (the test process
// plays the role of the loaded library) and every system call back to real.
void ResetGuardForTest();

// A fresh, empty directory under the temporary directory, removed with its
// files when the fixture ends.
class TempDirectory {
 public:
  TempDirectory();
  ~TempDirectory();
  const std::wstring& Path() const { return path_; }  // ends with a backslash
  // Writes `content` to a file in the directory; returns its full path.
  std::wstring WriteFile(const std::wstring& name, const std::string& content) const;

 private:
  std::wstring path_;
};

std::string ToHex(const unsigned char* bytes, size_t length);

// An expected text built by the C runtime from one of the guard's formats,
// independently of the guard's own formatter.
std::wstring FormatText(const wchar_t* format, ...);
// The words of a format before its first conversion, for a check of how a
// text begins when the rest of it is not known in advance.
std::wstring TextBeforeFirstField(const wchar_t* format);
