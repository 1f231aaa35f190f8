// The evidence digest of a confirmed detection: the evidence text with this
// process as the target, hashed so that the report carries no readable
// detail.
#include <windows.h>

#include "platform/win32_calls.h"
#include "integrity/sha256_digest.h"
#include "proofs/evidence_text.h"
#include "proofs/hard_cheat_protocol.h"

bool HashHardCheatEvidence(uint16_t violation, const wchar_t* name, uint32_t accessMask, uint8_t digest[32]) {
  if (!digest) return false;
  char text[kEvidenceTextCapacity];
  uint32_t length = 0;
  const bool hashed = FormatEvidenceText(violation, name, static_cast<uint32_t>(win32Calls.GetCurrentProcessId()),
                                         accessMask, text, length) &&
                      HashBufferSha256(text, length, digest);
  SecureZeroMemory(text, sizeof(text));
  return hashed;
}
