#include "identity/identity_value_rules.h"

namespace {
// Lower-case ASCII: comparing against them after folding A to Z is the whole
// case rule; no other letter may turn into one of these.
const char* const kPlaceholderTexts[] = {
    "none",
    "unknown",
    "not specified",
    "not applicable",
    "default string",
    "to be filled by o.e.m.",
    "to be filled by oem",
    "system serial number",
    "0123456789",
    "123456789",
    "00000000",
    "ffffffff",
};

wchar_t FoldAsciiCase(wchar_t unit) { return (unit >= L'A' && unit <= L'Z') ? unit + (L'a' - L'A') : unit; }

bool MatchesPlaceholder(const wchar_t* value, size_t length, const char* placeholder) {
  size_t i = 0;
  for (; i < length; ++i) {
    if (placeholder[i] == '\0') return false;  // value is longer
    if (FoldAsciiCase(value[i]) != static_cast<wchar_t>(static_cast<unsigned char>(placeholder[i]))) return false;
  }
  return placeholder[i] == '\0';
}
}  // namespace

bool IsIdentityWhiteSpace(wchar_t unit, WideSpaceClassifier classifyAbove00FF) {
  if ((unit >= 0x0009 && unit <= 0x000D) || unit == 0x0020 || unit == 0x0085 || unit == 0x00A0) return true;
  return unit > 0x00FF && classifyAbove00FF && classifyAbove00FF(unit);
}

bool FoldIdentityValue(const wchar_t* value, size_t length, WideSpaceClassifier classifyAbove00FF,
                       wchar_t* folded, size_t* foldedLength) {
  *foldedLength = 0;
  size_t count = 0;
  bool pendingSpace = false;
  for (size_t i = 0; i < length; ++i) {
    const wchar_t unit = value[i];
    if (IsIdentityWhiteSpace(unit, classifyAbove00FF)) {
      pendingSpace = count != 0;  // leading white space is dropped
      continue;
    }
    if (unit < 0x0020 || unit == 0x007F) return false;
    const size_t needed = count + (pendingSpace ? 1 : 0) + 1;
    if (needed > kIdentityValueMaxUnits) return false;
    if (pendingSpace) {
      folded[count++] = L' ';
      pendingSpace = false;
    }
    folded[count++] = unit;
  }
  // A space still pending here would be trailing white space: dropped.
  if (count == 0) return false;
  *foldedLength = count;
  return true;
}

bool IsPlaceholderIdentityValue(const wchar_t* value, size_t length) {
  for (const char* placeholder : kPlaceholderTexts)
    if (MatchesPlaceholder(value, length, placeholder)) return true;
  return false;
}
