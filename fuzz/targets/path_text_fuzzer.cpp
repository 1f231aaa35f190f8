// The path rules over any text: the bare-name rule behind the manifest
// paths, the extended-prefix strip behind the final path of an open file,
// the ASCII-folding comparison and the directory cut of the guard's own
// module name. The input is UTF-16 units; every rule runs on every input.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/path_text.h"
#include "system_models.h"

namespace {
const wchar_t kClientDirectory[] = L"C:\\Games\\Zarnel\\";

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
  FUZZ_CHECK(IsBareFileName(name.c_str()) == bare);
  if (!bare) return;
  // An admitted name joined to the client directory is the file part of
  // the joined path: nothing of it can reach another directory.
  const std::wstring joined = kClientDirectory + name;
  FUZZ_CHECK(DirectoryPartLength(joined.c_str(), joined.size()) == std::wstring(kClientDirectory).size());
}

void CheckPrefixStrip(const std::vector<wchar_t>& units) {
  WideBuffer path;
  FUZZ_CHECK(path.Assign(units.data(), units.size()));
  const std::wstring before(units.begin(), units.end());
  StripExtendedPathPrefix(path);
  FUZZ_CHECK(Text(path) == StrippedReference(before));
  FUZZ_CHECK(path.CStr()[path.Length()] == 0);
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

void CheckDirectoryCut(const std::vector<wchar_t>& units) {
  const std::wstring path(units.begin(), units.end());
  const size_t cut = path.find_last_of(L"\\/");
  const size_t expected = cut == std::wstring::npos ? 0 : cut + 1;
  FUZZ_CHECK(DirectoryPartLength(units.data(), units.size()) == expected);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<wchar_t> units = UnitsFromBytes(data, size);
  // The zero-terminated view: what a C string of these units holds.
  size_t terminated = 0;
  while (terminated < units.size() && units[terminated] != 0) ++terminated;
  const std::wstring text(units.data(), terminated);

  CheckBareNameRule(text);
  CheckPrefixStrip(units);
  CheckFolding(units);
  CheckDirectoryCut(units);
  return 0;
}
