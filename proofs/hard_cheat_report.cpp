// The signed answer to a hard-cheat challenge: a 207-byte big-endian record
// that is hashed and signed with the device key, and the 241-byte report
// (little-endian header) that carries every byte of it but the challenge
// build, which the server knows from its own challenge.
#include <windows.h>

#include "state/guard_state.h"
#include "platform/record_bytes.h"
#include "integrity/sha256_digest.h"
#include "proofs/device_key_store.h"
#include "proofs/hard_cheat_protocol.h"

namespace {
constexpr char kHardCheatRecordMagic[] = "ZARNEL-GUARD-HARD-CHEAT-V1";
constexpr uint32_t kHardCheatRecordMagicLength = sizeof(kHardCheatRecordMagic) - 1;  // 26
constexpr uint8_t kHardCheatRecordVersion = 1;
constexpr uint16_t kHardCheatReportFormat = 1;
constexpr uint32_t kHighestChallengeBuild = static_cast<uint32_t>(kClientBuild);

void FillSignedRecord(const HardCheatState& state, uint8_t keyKind, const uint8_t (&publicKey)[kDevicePublicKeySize],
                      uint8_t (&record)[kHardCheatRecordSize]) {
  CopyMemory(record, kHardCheatRecordMagic, kHardCheatRecordMagicLength);
  record[26] = 0;
  record[27] = kHardCheatRecordVersion;
  PutBigEndian32(record + 28, state.challengeBuild);
  PutBigEndian32(record + 32, static_cast<uint32_t>(kClientBuild));
  record[36] = keyKind;
  PutBigEndian16(record + 37, state.violation);
  CopyMemory(record + 39, state.reportId, kHardCheatIdSize);
  CopyMemory(record + 55, state.challengeId, kHardCheatIdSize);
  CopyMemory(record + 71, state.challengeNonce, kHardCheatNonceSize);
  CopyMemory(record + 103, state.evidenceDigest, 32);
  CopyMemory(record + 135, publicKey, kDevicePublicKeySize);
}

void FillReport(const HardCheatState& state, uint8_t keyKind, const uint8_t (&publicKey)[kDevicePublicKeySize],
                const uint8_t (&signature)[kDeviceSignatureSize], uint8_t (&report)[kHardCheatReportSize]) {
  PutLittleEndian16(report + 0, kHardCheatReportFormat);
  PutLittleEndian16(report + 2, static_cast<uint16_t>(kClientBuild));
  PutLittleEndian16(report + 4, 0);
  report[6] = keyKind;
  PutLittleEndian16(report + 7, state.violation);
  CopyMemory(report + 9, state.reportId, kHardCheatIdSize);
  CopyMemory(report + 25, state.challengeId, kHardCheatIdSize);
  CopyMemory(report + 41, state.challengeNonce, kHardCheatNonceSize);
  CopyMemory(report + 73, state.evidenceDigest, 32);
  CopyMemory(report + 105, publicKey, kDevicePublicKeySize);
  CopyMemory(report + 177, signature, kDeviceSignatureSize);
}

// Export, hash and sign under the device key lock, so that the public key,
// the kind and the signature come from one and the same key even while a
// shutdown releases it.
bool SignRecordWithDeviceKey(const HardCheatState& state, uint8_t& keyKind,
                             uint8_t (&publicKey)[kDevicePublicKeySize], uint8_t (&signature)[kDeviceSignatureSize],
                             uint8_t (&digest)[32], uint8_t (&record)[kHardCheatRecordSize]) {
  AcquireSRWLockExclusive(&guard.deviceKeyLock);
  keyKind = static_cast<uint8_t>(guard.deviceKeyKind);
  bool signedRecord = HasDeviceKey() && ExportDevicePublicKey(guard.deviceKey, publicKey) &&
                      state.challengeBuild >= 1 && state.challengeBuild <= kHighestChallengeBuild &&
                      state.violation >= 1 && state.violation <= 3;
  if (signedRecord) {
    FillSignedRecord(state, keyKind, publicKey, record);
    signedRecord = HashBufferSha256(record, kHardCheatRecordSize, digest) && SignWithDeviceKey(digest, signature) &&
                   !IsAllZeroBytes(signature, sizeof(signature));
  }
  ReleaseSRWLockExclusive(&guard.deviceKeyLock);
  return signedRecord;
}
}  // namespace

bool BuildHardCheatReport() {
  HardCheatState& state = guard.hardCheat;
  uint8_t publicKey[kDevicePublicKeySize] = {};
  uint8_t signature[kDeviceSignatureSize] = {};
  uint8_t digest[32] = {};
  uint8_t record[kHardCheatRecordSize] = {};
  uint8_t report[kHardCheatReportSize] = {};
  uint8_t keyKind = 0;

  bool built = SignRecordWithDeviceKey(state, keyKind, publicKey, signature, digest, record);
  if (built) {
    FillReport(state, keyKind, publicKey, signature, report);
    CopyMemory(state.report, report, sizeof(report));
    state.reportReady = 1;
  } else {
    SecureZeroMemory(state.report, sizeof(state.report));
    state.reportReady = 0;
    SetLastErrorText(L"ZarnelGuard could not sign its hard-cheat report.");
  }

  SecureZeroMemory(publicKey, sizeof(publicKey));
  SecureZeroMemory(signature, sizeof(signature));
  SecureZeroMemory(digest, sizeof(digest));
  SecureZeroMemory(record, sizeof(record));
  SecureZeroMemory(report, sizeof(report));
  return built;
}
