// The client path rules over any text: the bare-name rule behind the
// manifest paths, the extended-prefix strip behind the final path of an
// open file, the ASCII-folding comparison and the client directory cut.
// The input is one flag byte, then UTF-16 units. Every rule runs on every
// input; the flags only pick how the modelled system calls misbehave.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "state/guard_state.h"
#include "integrity/client_paths.h"
#include "system_models.h"

namespace {
constexpr uint8_t kPathGrowsBetweenCalls = 0x01;
constexpr uint8_t kModuleNameTruncated = 0x02;

const wchar_t kClientDirectory[] = L"C:\\Games\\Zarnel\\";

std::wstring servedPath;  // what the modelled path queries return
uint8_t flags = 0;
int finalPathCalls = 0;

DWORD ServeFinalPath(HANDLE, LPWSTR path, DWORD size, DWORD) {
  ++finalPathCalls;
  std::wstring served = servedPath;
  if ((flags & kPathGrowsBetweenCalls) && finalPathCalls > 1) served += L"\\grown";
  if (size < served.size() + 1) return static_cast<DWORD>(served.size() + 1);
  std::wmemcpy(path, served.c_str(), served.size() + 1);
  return static_cast<DWORD>(served.size());
}

DWORD ServeModuleName(HMODULE, LPWSTR name, DWORD size) {
  if (size == 0) return 0;
  if ((flags & kModuleNameTruncated) || servedPath.size() >= size) {
    const size_t copied = servedPath.size() < size ? servedPath.size() : size - 1;
    std::wmemcpy(name, servedPath.c_str(), copied);
    name[copied] = 0;
    return size;
  }
  std::wmemcpy(name, servedPath.c_str(), servedPath.size() + 1);
  return static_cast<DWORD>(servedPath.size());
}

bool IsSeparator(wchar_t unit) { return unit == L'\\' || unit == L'/'; }

std::wstring Text(const WideBuffer& buffer) { return std::wstring(buffer.CStr(), buffer.Length()); }

std::wstring StrippedReference(const std::wstring& path) {
  if (path.compare(0, 8, L"\\\\?\\UNC\\") == 0 && path.size() >= 8) return L"\\\\" + path.substr(8);
  if (path.compare(0, 4, L"\\\\?\\") == 0 && path.size() >= 4) return path.substr(4);
  return path;
}

wchar_t FoldAscii(wchar_t unit) { return unit >= L'A' && unit <= L'Z' ? unit - L'A' + L'a' : unit; }

void CheckBareNameRule(const std::wstring& name) {
  bool bare = !name.empty() && name != L"." && name != L"..";
  for (wchar_t unit : name) bare = bare && !IsSeparator(unit) && unit != L':';
  WideBuffer full;
  const bool built = BuildManifestFilePath(kClientDirectory, name.c_str(), full);
  FUZZ_CHECK(built == bare);
  if (!built) {
    FUZZ_CHECK(full.Length() == 0);
    return;
  }
  // However the system resolves it, an admitted name stays directly inside
  // the client directory.
  const std::wstring path = Text(full);
  const std::wstring directory = kClientDirectory;
  FUZZ_CHECK(path.compare(0, directory.size(), directory) == 0);
  for (size_t i = directory.size(); i < path.size(); ++i) FUZZ_CHECK(!IsSeparator(path[i]) && path[i] != 0);
}

void CheckPrefixStrip(const std::vector<wchar_t>& units) {
  WideBuffer path;
  FUZZ_CHECK(path.Assign(units.data(), units.size()));
  const std::wstring before(units.begin(), units.end());
  StripExtendedPathPrefix(path);
  FUZZ_CHECK(Text(path) == StrippedReference(before));
  FUZZ_CHECK(path.CStr()[path.Length()] == 0);
}

void CheckFinalPath(const std::wstring& served) {
  servedPath = served;
  finalPathCalls = 0;
  win32Calls.GetFinalPathNameByHandleW = ServeFinalPath;
  WideBuffer finalPath;
  const bool ok = GetFinalFilePath(reinterpret_cast<HANDLE>(0x44), finalPath);
  // An empty name is a failed query; one that grew meanwhile is refused.
  const bool expectOk = !served.empty() && !(flags & kPathGrowsBetweenCalls);
  FUZZ_CHECK(ok == expectOk);
  if (ok) FUZZ_CHECK(Text(finalPath) == StrippedReference(served));
  else FUZZ_CHECK(finalPath.Length() == 0);
}

void CheckFolding(const std::vector<wchar_t>& units) {
  size_t bar = 0;
  while (bar < units.size() && units[bar] != L'|') ++bar;
  const wchar_t* a = units.data();
  const size_t aLength = bar;
  const wchar_t* b = units.data() + (bar < units.size() ? bar + 1 : bar);
  const size_t bLength = units.size() - (bar < units.size() ? bar + 1 : bar);
  bool expected = aLength == bLength;
  for (size_t i = 0; expected && i < aLength; ++i) expected = FoldAscii(a[i]) == FoldAscii(b[i]);
  FUZZ_CHECK(PathsEqualFoldingAscii(a, aLength, b, bLength) == expected);
  FUZZ_CHECK(PathsEqualFoldingAscii(b, bLength, a, aLength) == expected);
  FUZZ_CHECK(PathsEqualFoldingAscii(a, aLength, a, aLength));
}

void CheckClientDirectory(const std::wstring& moduleName) {
  servedPath = moduleName;
  win32Calls.GetModuleFileNameW = ServeModuleName;
  guard.moduleHandle = reinterpret_cast<HMODULE>(0x10000000);
  WideBuffer directory;
  const bool ok = ResolveClientDirectory(directory);
  const size_t cut = moduleName.find_last_of(L"\\/");
  const bool expectOk = !(flags & kModuleNameTruncated) && !moduleName.empty() && cut != std::wstring::npos;
  FUZZ_CHECK(ok == expectOk);
  if (ok) FUZZ_CHECK(Text(directory) == moduleName.substr(0, cut + 1));
  else FUZZ_CHECK(directory.Length() == 0);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RestoreWin32Calls();
  if (size < 1) return 0;
  flags = data[0];
  const std::vector<wchar_t> units = UnitsFromBytes(data + 1, size - 1);
  // The zero-terminated view: what a C string of these units holds.
  size_t terminated = 0;
  while (terminated < units.size() && units[terminated] != 0) ++terminated;
  const std::wstring text(units.data(), terminated);

  CheckBareNameRule(text);
  CheckPrefixStrip(units);
  CheckFinalPath(text);
  CheckFolding(units);
  CheckClientDirectory(text);
  return 0;
}
