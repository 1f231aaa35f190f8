// One machine identity value through the normaliser: white space folding,
// the control, length and placeholder screens, and the UTF-8 conversion.
// The input is the value's UTF-16 units, little-endian.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "identity/identity_text.h"
#include "identity/identity_value_rules.h"
#include "system_models.h"

namespace {
bool ModelClassifier(wchar_t unit) {
  WORD type = 0;
  return ModelGetStringTypeW(CT_CTYPE1, &unit, 1, &type) && (type & C1_SPACE) != 0;
}

bool HasUnpairedSurrogate(const wchar_t* units, size_t length) {
  for (size_t i = 0; i < length; ++i) {
    const uint32_t u = static_cast<uint32_t>(units[i]);
    if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 < length && static_cast<uint32_t>(units[i + 1]) >= 0xDC00 &&
          static_cast<uint32_t>(units[i + 1]) <= 0xDFFF) {
        ++i;
        continue;
      }
      return true;
    }
    if (u >= 0xDC00 && u <= 0xDFFF) return true;
  }
  return false;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RestoreWin32Calls();
  const std::vector<wchar_t> value = UnitsFromBytes(data, size);

  wchar_t folded[kIdentityValueMaxUnits];
  size_t foldedLength = 12345;
  const bool foldedOk = FoldIdentityValue(value.data(), value.size(), ModelClassifier, folded, &foldedLength);
  if (!foldedOk) {
    FUZZ_CHECK(foldedLength == 0);
  } else {
    FUZZ_CHECK(foldedLength >= 1 && foldedLength <= kIdentityValueMaxUnits);
    FUZZ_CHECK(folded[0] != L' ' && folded[foldedLength - 1] != L' ');
    for (size_t i = 0; i < foldedLength; ++i) {
      const wchar_t unit = folded[i];
      FUZZ_CHECK(unit >= 0x20 && unit != 0x7F);
      FUZZ_CHECK(unit == L' ' || !IsIdentityWhiteSpace(unit, ModelClassifier));
      FUZZ_CHECK(!(unit == L' ' && folded[i + 1] == L' '));
    }
    // Folding a folded value changes nothing.
    wchar_t again[kIdentityValueMaxUnits];
    size_t againLength = 0;
    FUZZ_CHECK(FoldIdentityValue(folded, foldedLength, ModelClassifier, again, &againLength));
    FUZZ_CHECK(againLength == foldedLength && std::wmemcmp(again, folded, foldedLength) == 0);
  }

  const bool placeholder = foldedOk && IsPlaceholderIdentityValue(folded, foldedLength);
  if (placeholder) FUZZ_CHECK(foldedLength <= 22);  // the longest placeholder text

  IdentityBytes utf8;
  const bool normalised = NormalizeIdentityValue(value.data(), value.size(), utf8);
  if (!normalised) {
    FUZZ_CHECK(utf8.Length() == 0 && utf8.Data() == nullptr);
    // Refused only for a reason the rules name.
    FUZZ_CHECK(!foldedOk || placeholder || HasUnpairedSurrogate(folded, foldedLength) ||
               foldedLength * 3 > kIdentityValueMaxUtf8Bytes);
    return 0;
  }
  FUZZ_CHECK(foldedOk && !placeholder && !HasUnpairedSurrogate(folded, foldedLength));
  FUZZ_CHECK(utf8.Length() >= 1 && utf8.Length() <= kIdentityValueMaxUtf8Bytes);
  FUZZ_CHECK(IsValidUtf8(utf8.Data(), utf8.Length()));
  // The bytes are the folded text, converted: nothing dropped or added.
  char expected[4 * kIdentityValueMaxUnits];
  const int expectedSize = ModelWideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, folded,
                                                    static_cast<int>(foldedLength), expected, sizeof(expected),
                                                    nullptr, nullptr);
  FUZZ_CHECK(expectedSize > 0 && static_cast<size_t>(expectedSize) == utf8.Length());
  FUZZ_CHECK(std::memcmp(expected, utf8.Data(), utf8.Length()) == 0);
  return 0;
}
