// The tables' own data (codes that match their row numbers, hard-cheat
// rows where they belong), the name matching rules, and the version
// resource walk over well-formed and damaged resources.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "checks/blocked_module_table.h"
#include "checks/blocked_program_table.h"
#include "checks/program_version_resource.h"
#include "test_support.h"

namespace {
std::wstring ExpectedCode(const wchar_t* prefix, uint32_t rowNumber) {
  wchar_t digits[8];
  swprintf(digits, 8, L"%03u", rowNumber);
  return std::wstring(prefix) + digits;
}

bool IsLowerCase(const wchar_t* text) {
  for (; *text; ++text)
    if (*text >= L'A' && *text <= L'Z') return false;
  return true;
}

const BlockRule* ByName(const wchar_t* name) { return MatchBlockedProgramName(name, wcslen(name)); }
}  // namespace

TEST(DetectionTables, CodesCarryTheirRowNumbersAndNamesAreMatchable) {
  std::set<uint32_t> programRows;
  for (size_t i = 0; i < kBlockedProgramCount; ++i) {
    const BlockRule& rule = kBlockedPrograms[i];
    SCOPED_TRACE(rule.rowNumber);
    EXPECT_GT(rule.rowNumber, 0u) << "000 belongs to no row";
    EXPECT_LT(rule.rowNumber, 1000u);
    EXPECT_TRUE(programRows.insert(rule.rowNumber).second) << "row number used twice";
    EXPECT_EQ(std::wstring(rule.code), ExpectedCode(L"AC-PROC-", rule.rowNumber));
    ASSERT_NE(rule.displayName, nullptr);
    EXPECT_GT(wcslen(rule.displayName), 0u);
    ASSERT_NE(rule.imageNames[0], nullptr) << "every row has a file name to match";
    for (const wchar_t* const* name = rule.imageNames; *name; ++name) {
      EXPECT_TRUE(IsLowerCase(*name));
      EXPECT_EQ(ByName(*name), &rule) << "a name that an earlier row shadows";
    }
  }
  std::set<uint32_t> moduleRows;
  for (size_t i = 0; i < kBlockedModuleCount; ++i) {
    const ModuleRule& rule = kBlockedModules[i];
    SCOPED_TRACE(rule.rowNumber);
    EXPECT_GT(rule.rowNumber, 0u);
    EXPECT_TRUE(moduleRows.insert(rule.rowNumber).second);
    EXPECT_EQ(std::wstring(rule.code), ExpectedCode(L"AC-MODULE-", rule.rowNumber));
    for (const wchar_t* const* name = rule.moduleNames; *name; ++name) {
      EXPECT_TRUE(IsLowerCase(*name));
      EXPECT_EQ(MatchBlockedModuleName(*name, wcslen(*name)), &rule);
    }
  }
}

TEST(DetectionTables, HardCheatRowsAreTheMemoryEditorsAndDebuggers) {
  struct {
    const wchar_t* name;
    bool hard;
  } cases[] = {
      {L"cheatengine-x86_64.exe", true}, {L"x32dbg.exe", true},  {L"ollydbg.exe", true},
      {L"artmoney.exe", true},           {L"wemod.exe", false}, {L"xenos.exe", false},
  };
  for (const auto& c : cases) {
    const BlockRule* rule = ByName(c.name);
    ASSERT_NE(rule, nullptr);
    EXPECT_EQ(rule->category == kHardCheatCategory, c.hard);
  }
}

TEST(DetectionTables, NameMatchingIsWholeNameWithOnlyAsciiCaseFolded) {
  EXPECT_NE(ByName(L"CheatEngine-X86_64.EXE"), nullptr);
  const wchar_t* innocent[] = {
      L"nvidia.exe",  // holds "ida.exe"
      L"cheatengine-x86_64.exe.bak", L"my-x64dbg.exe", L"x64dbg", L"ida64.ex", L"", L"wemod-updater.exe",
  };
  for (const wchar_t* name : innocent) EXPECT_EQ(ByName(name), nullptr) << std::string(name, name + wcslen(name));
  EXPECT_EQ(MatchBlockedProgramName(nullptr, 5), nullptr);
  // A length shorter than the text compares only that prefix.
  EXPECT_EQ(MatchBlockedProgramName(L"x64dbg.exe.old", 10), ByName(L"x64dbg.exe"));
}

TEST(DetectionTables, VersionValuesMatchTrimmedAndCaseFoldedButWhole) {
  EXPECT_EQ(MatchBlockedProgramVersion(L"  cheat engine ", nullptr), ByName(L"cheatengine.exe"));
  EXPECT_EQ(MatchBlockedProgramVersion(nullptr, L"X64DBG.EXE"), ByName(L"x64dbg.exe"));
  EXPECT_EQ(MatchBlockedProgramVersion(L"Cheat Engine Tutorial", L"tutorial.exe"), nullptr);
  EXPECT_EQ(MatchBlockedProgramVersion(L"", L""), nullptr);
  EXPECT_EQ(MatchBlockedProgramVersion(nullptr, nullptr), nullptr);
  // WinDbg's product name is the operating system's: it must not identify.
  EXPECT_EQ(MatchBlockedProgramVersion(L"Microsoft\u00ae Windows\u00ae Operating System", nullptr), nullptr);
}

namespace {
// Builds VS_VERSIONINFO trees the way resource compilers lay them out.
class VersionBlockBuilder {
 public:
  // A block with a text value (wType 1) or none, and the given children.
  static std::vector<uint8_t> Block(const std::wstring& key, const std::wstring* text,
                                    const std::vector<std::vector<uint8_t>>& children) {
    std::vector<uint8_t> out(6, 0);
    AppendText(out, key);
    Pad(out);
    uint16_t valueLength = 0;
    if (text) {
      AppendText(out, *text);
      valueLength = static_cast<uint16_t>(text->size() + 1);
      Pad(out);
    }
    for (const auto& child : children) {
      out.insert(out.end(), child.begin(), child.end());
      Pad(out);
    }
    uint16_t length = static_cast<uint16_t>(out.size());
    uint16_t type = 1;
    std::memcpy(out.data(), &length, 2);
    std::memcpy(out.data() + 2, &valueLength, 2);
    std::memcpy(out.data() + 4, &type, 2);
    return out;
  }
  static std::vector<uint8_t> String(const std::wstring& key, const std::wstring& value) {
    return Block(key, &value, {});
  }

 private:
  static void AppendText(std::vector<uint8_t>& out, const std::wstring& text) {
    for (wchar_t c : text) {
      out.push_back(static_cast<uint8_t>(c & 0xFF));
      out.push_back(static_cast<uint8_t>(c >> 8));
    }
    out.push_back(0);
    out.push_back(0);
  }
  static void Pad(std::vector<uint8_t>& out) {
    while (out.size() % 4) out.push_back(0);
  }
};

// A resource with one string table of the given strings, in order.
std::vector<uint8_t> ResourceWithStrings(const std::vector<std::pair<std::wstring, std::wstring>>& strings,
                                         const std::wstring& sectionKey = L"StringFileInfo") {
  using B = VersionBlockBuilder;
  std::vector<std::vector<uint8_t>> entries;
  for (const auto& [key, value] : strings) entries.push_back(B::String(key, value));
  auto table = B::Block(L"040904b0", nullptr, entries);
  auto section = B::Block(sectionKey, nullptr, {table});
  return B::Block(L"VS_VERSION_INFO", nullptr, {section});
}

std::vector<uint8_t> Resource(const std::wstring& product, const std::wstring& original) {
  using B = VersionBlockBuilder;
  auto table = B::Block(L"040904b0", nullptr,
                        {B::String(L"CompanyName", L"Someone"), B::String(L"ProductName", product),
                         B::String(L"OriginalFilename", original)});
  auto strings = B::Block(L"StringFileInfo", nullptr, {table});
  auto vars = B::Block(L"VarFileInfo", nullptr, {});
  return B::Block(L"VS_VERSION_INFO", nullptr, {strings, vars});
}
}  // namespace

TEST(ProgramVersionResource, FindsTheRowThatItsStringTableNames) {
  auto byProduct = Resource(L"Cheat Engine", L"helper.exe");
  EXPECT_EQ(MatchVersionResourceBytes(byProduct.data(), byProduct.size()), ByName(L"cheatengine.exe"));
  auto byOriginal = Resource(L"Debugger", L"x32dbg.exe");
  EXPECT_EQ(MatchVersionResourceBytes(byOriginal.data(), byOriginal.size()), ByName(L"x64dbg.exe"));
  auto innocent = Resource(L"Discord", L"Discord.exe");
  EXPECT_EQ(MatchVersionResourceBytes(innocent.data(), innocent.size()), nullptr);
}

TEST(ProgramVersionResource, ADamagedResourceIsNoMatchAndNeverReadBeyondItsBytes) {
  auto resource = Resource(L"Cheat Engine", L"cheatengine.exe");
  // Every truncation cuts the root block short of its declared length.
  for (size_t size = 0; size < resource.size(); ++size) {
    std::vector<uint8_t> cut(resource.begin(), resource.begin() + size);
    EXPECT_EQ(MatchVersionResourceBytes(cut.empty() ? nullptr : cut.data(), cut.size()), nullptr) << size;
  }
  // A string block that claims more bytes than its parent holds.
  auto lying = resource;
  size_t productKey = 0;
  for (size_t i = 0; i + 22 < lying.size(); ++i)
    if (std::memcmp(lying.data() + i, "P\0r\0o\0d\0u\0c\0t\0N\0", 16) == 0) productKey = i;
  ASSERT_NE(productKey, 0u);
  uint16_t huge = 0xFFF0;
  std::memcpy(lying.data() + productKey - 6, &huge, 2);
  EXPECT_EQ(MatchVersionResourceBytes(lying.data(), lying.size()), nullptr);
  // A key without its terminator.
  auto unterminated = VersionBlockBuilder::Block(L"VS_VERSION_INFO", nullptr, {});
  std::memset(unterminated.data() + 6, 'A', unterminated.size() - 6);
  EXPECT_EQ(MatchVersionResourceBytes(unterminated.data(), unterminated.size()), nullptr);
}

TEST(ProgramVersionResource, StringsAreReadToTheBlockEndWhateverTheLengthAndTypeFieldsSay) {
  // Windows shows the text from the value's start to the first zero before
  // the block ends; a tool that writes a wrong length or type is still named
  // by its text, and a short length field does not shorten the text.
  struct {
    const char* what;
    std::wstring product;
    uint16_t valueLength;
    uint16_t type;
    bool matches;
  } cases[] = {
      {"zero length", L"Cheat Engine", 0, 1, true},
      {"length short of the text", L"Cheat Engine", 3, 1, true},
      {"length beyond the block", L"Cheat Engine", 0xFFF0, 1, true},
      {"binary type, length in characters", L"Cheat Engine", 13, 0, true},
      {"binary type, zero length", L"Cheat Engine", 0, 0, true},
      {"length that cuts a longer name to a listed one", L"Cheat Engine Tutorial", 12, 1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto resource = Resource(c.product, L"helper.exe");
    size_t productKey = 0;
    for (size_t i = 0; i + 22 < resource.size(); ++i)
      if (std::memcmp(resource.data() + i, "P\0r\0o\0d\0u\0c\0t\0N\0", 16) == 0) productKey = i;
    ASSERT_NE(productKey, 0u);
    std::memcpy(resource.data() + productKey - 4, &c.valueLength, 2);
    std::memcpy(resource.data() + productKey - 2, &c.type, 2);
    EXPECT_EQ(MatchVersionResourceBytes(resource.data(), resource.size()),
              c.matches ? ByName(L"cheatengine.exe") : nullptr);
  }
}

TEST(ProgramVersionResource, NamesAreFoundAsVerQueryValueFindsThemInEitherCaseAndTheFirstOfANameWins) {
  const BlockRule* cheatEngine = ByName(L"cheatengine.exe");
  const BlockRule* x64dbg = ByName(L"x64dbg.exe");
  struct {
    const char* what;
    std::vector<std::pair<std::wstring, std::wstring>> strings;
    const wchar_t* sectionKey;
    const BlockRule* expected;
  } cases[] = {
      {"product name key in lower case", {{L"productname", L"Cheat Engine"}}, L"StringFileInfo", cheatEngine},
      {"original file name key in upper case", {{L"ORIGINALFILENAME", L"x32dbg.exe"}}, L"StringFileInfo", x64dbg},
      {"section key in lower case", {{L"ProductName", L"Cheat Engine"}}, L"stringfileinfo", cheatEngine},
      {"the tool's product name first, a harmless one after it",
       {{L"ProductName", L"Cheat Engine"}, {L"ProductName", L"Notepad"}}, L"StringFileInfo", cheatEngine},
      {"a harmless product name first, the tool's after it",
       {{L"ProductName", L"Notepad"}, {L"ProductName", L"Cheat Engine"}}, L"StringFileInfo", nullptr},
      {"the first of two keys that differ only in case",
       {{L"PRODUCTNAME", L"Cheat Engine"}, {L"ProductName", L"Notepad"}}, L"StringFileInfo", cheatEngine},
      {"the tool's original file name first, in another case",
       {{L"originalFilename", L"x32dbg.exe"}, {L"OriginalFilename", L"notes.exe"}}, L"StringFileInfo", x64dbg},
      {"a key that only begins like the name", {{L"ProductNames", L"Cheat Engine"}}, L"StringFileInfo", nullptr},
      {"a key that is a letter short", {{L"ProductNam", L"Cheat Engine"}}, L"StringFileInfo", nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto resource = ResourceWithStrings(c.strings, c.sectionKey);
    EXPECT_EQ(MatchVersionResourceBytes(resource.data(), resource.size()), c.expected);
  }
}

namespace {
// A program file on a share, read by the loader as the guard's image-load
// policy (no remote images) lets it: mapped as an image it is refused, as a
// plain data file it is read.
const HMODULE kShareModule = reinterpret_cast<HMODULE>(0x7A0002);
const HRSRC kVersionResource = reinterpret_cast<HRSRC>(0x7A1000);
std::vector<uint8_t> shareResource;
int shareLoads;
int shareFrees;

HMODULE WINAPI RemoteImagesRefused(LPCWSTR, HANDLE, DWORD flags) {
  ++shareLoads;
  if (flags & (LOAD_LIBRARY_AS_IMAGE_RESOURCE | DONT_RESOLVE_DLL_REFERENCES) || !(flags & LOAD_LIBRARY_AS_DATAFILE)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return kShareModule;
}
HRSRC WINAPI ShareFindResource(HMODULE module, LPCWSTR name, LPCWSTR type) {
  return module == kShareModule && name == MAKEINTRESOURCEW(VS_VERSION_INFO) && type == RT_VERSION
             ? kVersionResource
             : nullptr;
}
DWORD WINAPI ShareSizeofResource(HMODULE module, HRSRC resource) {
  return module == kShareModule && resource == kVersionResource ? static_cast<DWORD>(shareResource.size()) : 0;
}
HGLOBAL WINAPI ShareLoadResource(HMODULE module, HRSRC resource) {
  return module == kShareModule && resource == kVersionResource ? shareResource.data() : nullptr;
}
BOOL WINAPI ShareFreeLibrary(HMODULE module) {
  if (module != kShareModule) return FreeLibrary(module);
  ++shareFrees;
  return TRUE;
}
}  // namespace

TEST(ProgramVersionResource, AToolOnANetworkShareIsReadAsADataFileThatTheImageLoadPolicyLetsThrough) {
  win32Calls.LoadLibraryExW = RemoteImagesRefused;
  win32Calls.FindResourceW = ShareFindResource;
  win32Calls.SizeofResource = ShareSizeofResource;
  win32Calls.LoadResource = ShareLoadResource;
  win32Calls.FreeLibrary = ShareFreeLibrary;
  shareResource = Resource(L"Cheat Engine", L"notes_helper.exe");
  shareLoads = 0;
  shareFrees = 0;
  EXPECT_EQ(MatchProgramVersionResource(L"\\\\fileserver\\tools\\notes_helper.exe"), ByName(L"cheatengine.exe"));
  EXPECT_EQ(shareLoads, 1);
  EXPECT_EQ(shareFrees, 1) << "what was loaded is freed again";
}
