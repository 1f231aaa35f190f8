// The file the version resource is read from: a 32-bit client under WOW64
// must read a 64-bit program's System32 file through Sysnative, or Windows
// hands it the SysWOW64 namesake (or nothing). Checked at the loader call.
#include <gtest/gtest.h>

#include <string>

#include "checks/program_version_resource.h"
#include "test_support.h"

namespace {
enum class Wow64Answer { kYes, kNo, kFails };
Wow64Answer wow64Answer;
const wchar_t* systemDirectory;
std::wstring loadedPath;
int loadCalls;

BOOL WINAPI FakeIsWow64Process(HANDLE process, PBOOL wow64) {
  if (process != GetCurrentProcess() || wow64Answer == Wow64Answer::kFails) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *wow64 = wow64Answer == Wow64Answer::kYes;
  return TRUE;
}

UINT WINAPI FakeGetSystemDirectoryW(LPWSTR buffer, UINT size) {
  if (!systemDirectory) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  UINT length = static_cast<UINT>(wcslen(systemDirectory));
  if (length + 1 > size) return length + 1;
  wcscpy(buffer, systemDirectory);
  return length;
}

HMODULE WINAPI RecordingLoad(LPCWSTR path, HANDLE, DWORD) {
  ++loadCalls;
  loadedPath = path;
  SetLastError(ERROR_FILE_NOT_FOUND);
  return nullptr;
}
}  // namespace

TEST(Wow64ImagePath, SystemFilesAreReadThroughSysnativeOnlyUnderWow64) {
  win32Calls.IsWow64Process = FakeIsWow64Process;
  win32Calls.GetSystemDirectoryW = FakeGetSystemDirectoryW;
  win32Calls.LoadLibraryExW = RecordingLoad;
  struct {
    Wow64Answer wow64;
    const wchar_t* systemDirectory;
    const wchar_t* imagePath;
    const wchar_t* readPath;
  } cases[] = {
      {Wow64Answer::kYes, L"C:\\Windows\\system32", L"C:\\Windows\\System32\\notepad.exe",
       L"C:\\Windows\\Sysnative\\notepad.exe"},
      {Wow64Answer::kYes, L"C:\\Windows\\system32", L"c:\\WINDOWS\\SYSTEM32\\WindowsPowerShell\\v1.0\\powershell.exe",
       L"C:\\Windows\\Sysnative\\WindowsPowerShell\\v1.0\\powershell.exe"},
      {Wow64Answer::kYes, L"C:\\Windows\\system32", L"\\\\?\\C:\\Windows\\System32\\dbg.exe",
       L"\\\\?\\C:\\Windows\\Sysnative\\dbg.exe"},
      {Wow64Answer::kYes, L"\\\\?\\D:\\WinNT\\System32\\", L"D:\\WinNT\\System32\\dbg.exe",
       L"D:\\WinNT\\Sysnative\\dbg.exe"},
      // Not inside the system directory: left alone.
      {Wow64Answer::kYes, L"C:\\Windows\\system32", L"C:\\Windows\\System32x\\dbg.exe",
       L"C:\\Windows\\System32x\\dbg.exe"},
      {Wow64Answer::kYes, L"C:\\Windows\\system32", L"C:\\Windows\\SysWOW64\\dbg.exe",
       L"C:\\Windows\\SysWOW64\\dbg.exe"},
      {Wow64Answer::kYes, L"C:\\Windows\\system32", L"C:\\Windows\\System32", L"C:\\Windows\\System32"},
      {Wow64Answer::kYes, L"C:\\Windows\\system32", L"D:\\Tools\\Windows\\System32\\dbg.exe",
       L"D:\\Tools\\Windows\\System32\\dbg.exe"},
      // Not under WOW64, or unable to tell: the path as the system gave it.
      {Wow64Answer::kNo, L"C:\\Windows\\system32", L"C:\\Windows\\System32\\notepad.exe",
       L"C:\\Windows\\System32\\notepad.exe"},
      {Wow64Answer::kFails, L"C:\\Windows\\system32", L"C:\\Windows\\System32\\notepad.exe",
       L"C:\\Windows\\System32\\notepad.exe"},
      {Wow64Answer::kYes, nullptr, L"C:\\Windows\\System32\\notepad.exe", L"C:\\Windows\\System32\\notepad.exe"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(c.wow64) << " "
                                    << std::string(c.imagePath, c.imagePath + wcslen(c.imagePath)));
    wow64Answer = c.wow64;
    systemDirectory = c.systemDirectory;
    loadCalls = 0;
    loadedPath.clear();
    EXPECT_EQ(MatchProgramVersionResource(c.imagePath), nullptr);
    EXPECT_EQ(loadCalls, 1);
    EXPECT_EQ(loadedPath, c.readPath);
  }
}
