// The evidence digest of a confirmed detection: a fixed ASCII text naming
// the violation, a normalised name, the game process and the access mask,
// hashed so that the report carries no readable detail.
#include <windows.h>

#include <cstdio>

#include "platform/win32_calls.h"
#include "integrity/sha256_digest.h"
#include "proofs/hard_cheat_protocol.h"

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

bool HashHardCheatEvidence(uint16_t violation, const wchar_t* name, uint32_t accessMask, uint8_t digest[32]) {
  if (violation < 1 || violation > 3 || !name || name[0] == L'\0' || !digest) return false;
  char normalised[kEvidenceNameCapacity];
  uint32_t normalisedLength = 0;
  if (!NormaliseEvidenceName(name, normalised, normalisedLength)) return false;

  char text[kEvidenceTextCapacity] = {};
  int written = std::snprintf(text, sizeof(text),
                              "ZARNEL-GUARD-EVIDENCE-V1\nviolation=%hu\nname=%s\ntarget-pid=%lu\naccess=%08lX\n",
                              violation, normalised, static_cast<unsigned long>(win32Calls.GetCurrentProcessId()),
                              static_cast<unsigned long>(accessMask));
  bool hashed = written >= 1 && written < static_cast<int>(kEvidenceTextCapacity) &&
                HashBufferSha256(text, static_cast<uint32_t>(written), digest);
  SecureZeroMemory(text, sizeof(text));
  SecureZeroMemory(normalised, sizeof(normalised));
  return hashed;
}
