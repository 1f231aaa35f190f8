#include "proofs/evidence_text.h"

#include <windows.h>

#include <cstdio>

namespace {
// The kept form of one code unit, or 0 for a separator.
char KeptEvidenceCharacter(wchar_t unit) {
  if ((unit >= L'a' && unit <= L'z') || (unit >= L'0' && unit <= L'9') || unit == L'.' || unit == L'_')
    return static_cast<char>(unit);
  if (unit >= L'A' && unit <= L'Z') return static_cast<char>(unit - L'A' + 'a');
  return 0;
}
}  // namespace

bool NormaliseEvidenceName(const wchar_t* name, char (&normalised)[kEvidenceNameCapacity], uint32_t& length) {
  SecureZeroMemory(normalised, sizeof(normalised));
  length = 0;
  if (!name) return false;
  bool separatorPending = false;
  for (const wchar_t* unit = name; *unit; ++unit) {
    char kept = KeptEvidenceCharacter(*unit);
    if (!kept) {
      // Separators before the first kept character vanish.
      if (length > 0) separatorPending = true;
      continue;
    }
    if (separatorPending) {
      if (length + 1 < kEvidenceNameCapacity) normalised[length++] = '-';
      separatorPending = false;
    }
    if (length + 1 >= kEvidenceNameCapacity) {
      SecureZeroMemory(normalised, sizeof(normalised));
      length = 0;
      return false;
    }
    normalised[length++] = kept;
  }
  // A trailing separator is never written: it only ever waits for a kept
  // character that does not come.
  return length > 0;
}

bool FormatEvidenceText(uint16_t violation, const wchar_t* name, uint32_t targetProcessId, uint32_t accessMask,
                        char (&text)[kEvidenceTextCapacity], uint32_t& length) {
  SecureZeroMemory(text, sizeof(text));
  length = 0;
  if (violation < 1 || violation > 3 || !name || name[0] == L'\0') return false;
  char normalised[kEvidenceNameCapacity];
  uint32_t normalisedLength = 0;
  if (!NormaliseEvidenceName(name, normalised, normalisedLength)) return false;
  const int written = std::snprintf(text, sizeof(text),
                                    "ZARNEL-GUARD-EVIDENCE-V1\nviolation=%hu\nname=%s\ntarget-pid=%lu\naccess=%08lX\n",
                                    violation, normalised, static_cast<unsigned long>(targetProcessId),
                                    static_cast<unsigned long>(accessMask));
  SecureZeroMemory(normalised, sizeof(normalised));
  if (written < 1 || written >= static_cast<int>(kEvidenceTextCapacity)) {
    SecureZeroMemory(text, sizeof(text));
    return false;
  }
  length = static_cast<uint32_t>(written);
  return true;
}
