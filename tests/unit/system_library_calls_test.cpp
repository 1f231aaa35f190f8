// The system's crypto libraries, loaded by full path from the system
// directory: on a system without the search flags (Windows 7 before
// KB2533623, which refuses them as an invalid parameter) the load must still
// succeed, or every start-up fails on the device key.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "platform/system_library_calls.h"
#include "platform/win32_calls.h"

namespace {
std::vector<DWORD> flagsSeen;
DWORD searchFlagRefusal;  // 0: the loader knows the search flags

HMODULE WINAPI RecordingLoader(LPCWSTR path, HANDLE file, DWORD flags) {
  flagsSeen.push_back(flags);
  if (searchFlagRefusal != 0 && (flags & LOAD_LIBRARY_SEARCH_SYSTEM32)) {
    SetLastError(searchFlagRefusal);
    return nullptr;
  }
  return LoadLibraryExW(path, file, flags);
}

TEST(SystemLibraries, LoadFromTheSystemDirectoryWithOrWithoutTheSearchFlags) {
  struct Case {
    const char* name;
    DWORD refusal;
    std::vector<DWORD> expectedFlags;
    bool loaded;
  } cases[] = {
      {"search_flags_known", 0, {LOAD_LIBRARY_SEARCH_SYSTEM32}, true},
      {"windows_7_without_the_update",
       ERROR_INVALID_PARAMETER,
       {LOAD_LIBRARY_SEARCH_SYSTEM32, LOAD_WITH_ALTERED_SEARCH_PATH},
       true},
      // Any other refusal is the loader's verdict on the file, not on the flag.
      {"file_refused", ERROR_MOD_NOT_FOUND, {LOAD_LIBRARY_SEARCH_SYSTEM32}, false},
  };
  WideBuffer path;
  ASSERT_TRUE(BuildSystemLibraryPath(kSystemLibraryBcrypt, path));
  win32Calls.LoadLibraryExW = RecordingLoader;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    flagsSeen.clear();
    searchFlagRefusal = c.refusal;
    SetLastError(0);
    HMODULE module = LoadLibraryFromSystemPath(path.CStr());
    const DWORD error = GetLastError();
    EXPECT_EQ(module != nullptr, c.loaded) << error;
    EXPECT_EQ(flagsSeen, c.expectedFlags);
    if (!c.loaded) EXPECT_EQ(error, c.refusal) << "the loader's own reason is kept";
    if (module) FreeLibrary(module);
  }
}
}  // namespace
