// The evidence name normaliser and the evidence text it feeds. The input is
// the violation (2 bytes), the access mask (4 bytes), both little-endian,
// then the name's UTF-16 units (the name ends at the first zero unit).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "proofs/evidence_text.h"
#include "system_models.h"

namespace {
bool IsKept(wchar_t unit) {
  return (unit >= L'a' && unit <= L'z') || (unit >= L'A' && unit <= L'Z') || (unit >= L'0' && unit <= L'9') ||
         unit == L'.' || unit == L'_';
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  const uint16_t violation = static_cast<uint16_t>(data[0] | data[1] << 8);
  const uint32_t accessMask = static_cast<uint32_t>(data[2]) | static_cast<uint32_t>(data[3]) << 8 |
                              static_cast<uint32_t>(data[4]) << 16 | static_cast<uint32_t>(data[5]) << 24;
  std::vector<wchar_t> name = UnitsFromBytes(data + 6, size - 6);
  name.push_back(0);

  // Expected length: the kept characters plus one hyphen per separator run
  // that stands between two of them.
  size_t kept = 0, runs = 0;
  bool inRun = false;
  std::string keptLower;
  for (const wchar_t* u = name.data(); *u; ++u) {
    if (IsKept(*u)) {
      if (inRun && kept > 0) ++runs;
      inRun = false;
      ++kept;
      keptLower += static_cast<char>(*u >= L'A' && *u <= L'Z' ? *u - L'A' + 'a' : *u);
    } else {
      inRun = true;
    }
  }
  const size_t expectedLength = kept + runs;
  const bool expectOk = kept > 0 && expectedLength < kEvidenceNameCapacity;

  char normalised[kEvidenceNameCapacity];
  std::memset(normalised, 0x5A, sizeof(normalised));
  uint32_t length = 777;
  const bool ok = NormaliseEvidenceName(name.data(), normalised, length);
  FUZZ_CHECK(ok == expectOk);
  // Whatever the outcome, the buffer is a terminated text of `length` bytes
  // with zeros after it.
  FUZZ_CHECK(length < kEvidenceNameCapacity);
  for (size_t i = length; i < kEvidenceNameCapacity; ++i) FUZZ_CHECK(normalised[i] == 0);
  if (!ok) {
    FUZZ_CHECK(length == 0);
  } else {
    FUZZ_CHECK(length == expectedLength);
    FUZZ_CHECK(normalised[0] != '-' && normalised[length - 1] != '-');
    std::string withoutHyphens;
    for (uint32_t i = 0; i < length; ++i) {
      const char c = normalised[i];
      FUZZ_CHECK((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-');
      FUZZ_CHECK(!(c == '-' && normalised[i + 1] == '-'));
      if (c != '-') withoutHyphens += c;
    }
    FUZZ_CHECK(withoutHyphens == keptLower);
  }

  // The text, for the smallest and the widest process id.
  for (const uint32_t targetProcessId : {4242u, 0xFFFFFFFFu}) {
    char text[kEvidenceTextCapacity];
    std::memset(text, 0x5A, sizeof(text));
    uint32_t textLength = 777;
    const bool formatted = FormatEvidenceText(violation, name.data(), targetProcessId, accessMask, text, textLength);
    const bool expectFormatted = violation >= 1 && violation <= 3 && name[0] != 0 && ok;
    FUZZ_CHECK(formatted == expectFormatted);
    if (!formatted) {
      FUZZ_CHECK(textLength == 0);
      for (char c : text) FUZZ_CHECK(c == 0);
      continue;
    }
    char expected[kEvidenceTextCapacity];
    const int written = std::snprintf(expected, sizeof(expected),
                                      "ZARNEL-GUARD-EVIDENCE-V1\nviolation=%u\nname=%s\ntarget-pid=%u\naccess=%08X\n",
                                      violation, std::string(normalised, length).c_str(), targetProcessId, accessMask);
    FUZZ_CHECK(written > 0 && std::string(text, textLength) == std::string(expected, written));
    FUZZ_CHECK(text[textLength] == 0);
  }
  return 0;
}
