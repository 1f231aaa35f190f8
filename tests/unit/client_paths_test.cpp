// The client directory and the path rules that keep file checks inside it.
#include <gtest/gtest.h>

#include <string>

#include "integrity/client_paths.h"
#include "test_support.h"

namespace {
std::wstring Text(const WideBuffer& b) { return std::wstring(b.CStr(), b.Length()); }

struct NameCase {
  const char* name;
  const wchar_t* relative;
  bool accepted;
};

const NameCase kNameCases[] = {
    {"null", nullptr, false},
    {"empty", L"", false},
    {"dot", L".", false},
    {"dot_dot", L"..", false},
    {"backslash", L"a\\b", false},
    {"slash", L"a/b", false},
    {"drive_relative", L"c:x", false},
    {"stream", L"name:stream", false},
    {"parent_escape", L"..\\Zarnel.exe", false},
    {"unc", L"\\\\server\\share", false},
    {"leading_dots", L"..name", true},
    {"trailing_dot", L"name.", true},
    {"plain", L"Zarnel.exe", true},
};

class ManifestNames : public testing::TestWithParam<NameCase> {};

TEST_P(ManifestNames, AdmitOnlyBareFileNames) {
  const NameCase& c = GetParam();
  WideBuffer full;
  EXPECT_EQ(BuildManifestFilePath(L"C:\\Games\\Zarnel\\", c.relative, full), c.accepted);
  if (c.accepted) {
    EXPECT_EQ(Text(full).rfind(L"C:\\Games\\Zarnel\\", 0), 0u) << "stays under the client directory";
  } else {
    EXPECT_TRUE(full.Empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ManifestNames, testing::ValuesIn(kNameCases),
                         [](const testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

TEST(BuildManifestFilePath, JoinsWithoutAddingASeparator) {
  WideBuffer full;
  ASSERT_TRUE(BuildManifestFilePath(L"C:\\Games\\Zarnel\\", L"Zarnel.exe", full));
  EXPECT_EQ(Text(full), L"C:\\Games\\Zarnel\\Zarnel.exe");
}

struct StripCase {
  const char* name;
  const wchar_t* input;
  const wchar_t* expected;
};

const StripCase kStripCases[] = {
    {"network", L"\\\\?\\UNC\\server\\share\\Zarnel.exe", L"\\\\server\\share\\Zarnel.exe"},
    {"drive", L"\\\\?\\C:\\Games\\Zarnel.exe", L"C:\\Games\\Zarnel.exe"},
    {"network_prefix_lower_case", L"\\\\?\\unc\\server\\share", L"unc\\server\\share"},
    {"plain_drive", L"C:\\Games\\Zarnel.exe", L"C:\\Games\\Zarnel.exe"},
    {"plain_network", L"\\\\server\\share", L"\\\\server\\share"},
    {"short", L"\\\\?", L"\\\\?"},
    {"empty", L"", L""},
    {"prefix_only", L"\\\\?\\", L""},
};

class PrefixStripping : public testing::TestWithParam<StripCase> {};

TEST_P(PrefixStripping, RemovesOnlyTheExactExtendedPrefixes) {
  const StripCase& c = GetParam();
  WideBuffer path;
  ASSERT_TRUE(path.Assign(c.input, wcslen(c.input)));
  StripExtendedPathPrefix(path);
  EXPECT_EQ(Text(path), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, PrefixStripping, testing::ValuesIn(kStripCases),
                         [](const testing::TestParamInfo<StripCase>& info) { return std::string(info.param.name); });

TEST(PathsEqualFoldingAscii, FoldsAsciiLettersOnly) {
  struct {
    const wchar_t* a;
    const wchar_t* b;
    bool equal;
  } cases[] = {
      {L"C:\\Games\\Zarnel.exe", L"c:\\GAMES\\zarnel.EXE", true},
      {L"C:\\Spiele\\\x00C4rger.exe", L"C:\\Spiele\\\x00E4rger.exe", false},  // Ä vs ä: not folded
      {L"C:\\Games\\Zarnel.exe", L"C:\\Games\\Zarnel.ex", false},
      {L"C:\\Games\\", L"C:\\Games", false},  // no trimming of separators
      {L"C:/Games", L"C:\\Games", false},
      {L"", L"", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PathsEqualFoldingAscii(c.a, wcslen(c.a), c.b, wcslen(c.b)), c.equal) << "'" << c.a << "'";
}

// Module names injected through the call table.
const wchar_t* injectedModulePath;
DWORD injectedModuleResult;
DWORD WINAPI InjectedModuleFileName(HMODULE, LPWSTR buffer, DWORD size) {
  if (injectedModulePath) wcsncpy(buffer, injectedModulePath, size);
  return injectedModuleResult;
}

TEST(ResolveClientDirectory, CutsAtTheLastSeparatorOfEitherKind) {
  struct {
    const wchar_t* modulePath;
    const wchar_t* expected;
  } cases[] = {
      {L"C:\\Games\\Zarnel\\ZarnelGuard.dll", L"C:\\Games\\Zarnel\\"},
      {L"C:\\Games/Zarnel/ZarnelGuard.dll", L"C:\\Games/Zarnel/"},
      {L"C:/Games\\Zarnel\\ZarnelGuard.dll", L"C:/Games\\Zarnel\\"},
      {L"ZarnelGuard.dll", L""},
  };
  win32Calls.GetModuleFileNameW = InjectedModuleFileName;
  for (const auto& c : cases) {
    injectedModulePath = c.modulePath;
    injectedModuleResult = static_cast<DWORD>(wcslen(c.modulePath));
    WideBuffer directory;
    EXPECT_EQ(ResolveClientDirectory(directory), c.expected[0] != L'\0') << c.modulePath;
    EXPECT_EQ(Text(directory), c.expected);
  }
}

TEST(ResolveClientDirectory, ATruncatedOrFailedModuleNameGivesNoDirectory) {
  win32Calls.GetModuleFileNameW = InjectedModuleFileName;
  injectedModulePath = L"C:\\Games\\Zarnel\\ZarnelGuard.dll";
  for (DWORD result : {0ul, 32768ul, 40000ul}) {
    injectedModuleResult = result;
    WideBuffer directory;
    EXPECT_FALSE(ResolveClientDirectory(directory)) << result;
    EXPECT_TRUE(directory.Empty());
  }
}

TEST(ResolveClientDirectory, RealModuleIsTheTestProgramsDirectory) {
  WideBuffer directory;
  ASSERT_TRUE(ResolveClientDirectory(directory));
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring expected(path);
  expected = expected.substr(0, expected.find_last_of(L"\\/") + 1);
  EXPECT_EQ(Text(directory), expected);
}

// Final path queries that grow between the two calls, or fail.
int finalPathCall;
DWORD WINAPI GrowingFinalPath(HANDLE h, LPWSTR buffer, DWORD size, DWORD flags) {
  DWORD real = GetFinalPathNameByHandleW(h, buffer, size, flags);
  return ++finalPathCall == 1 ? real : size + 10;
}
DWORD WINAPI FailingFinalPath(HANDLE, LPWSTR, DWORD, DWORD) { return SetLastError(ERROR_ACCESS_DENIED), 0; }

TEST(GetFinalFilePath, StripsThePrefixOfARealFile) {
  TempDirectory dir;
  std::wstring path = dir.WriteFile(L"Zarnel.exe", "MZ");
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  WideBuffer finalPath;
  ASSERT_TRUE(GetFinalFilePath(file, finalPath));
  EXPECT_NE(Text(finalPath).rfind(L"\\\\?\\", 0), 0u);
  WideBuffer full;
  ASSERT_TRUE(BuildManifestFilePath(dir.Path().c_str(), L"Zarnel.exe", full));
  EXPECT_TRUE(PathsEqualFoldingAscii(finalPath.CStr(), finalPath.Length(), full.CStr(), full.Length()))
      << Text(finalPath).c_str() << " vs " << Text(full).c_str();

  finalPathCall = 0;
  win32Calls.GetFinalPathNameByHandleW = GrowingFinalPath;
  EXPECT_FALSE(GetFinalFilePath(file, finalPath)) << "a path that grew between the queries";
  win32Calls.GetFinalPathNameByHandleW = FailingFinalPath;
  EXPECT_FALSE(GetFinalFilePath(file, finalPath));
  CloseHandle(file);
}
}  // namespace
