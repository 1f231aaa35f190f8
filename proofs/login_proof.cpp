#include "proofs/login_proof.h"

#include <cstring>

#include "checks/detection_checks.h"
#include "checks/fatal_exit.h"
#include "checks/finding_policy.h"
#include "state/guard_state.h"
#include "platform/record_bytes.h"
#include "integrity/sha256_digest.h"
#include "proofs/device_key_store.h"
#include "proofs/hard_cheat_protocol.h"

namespace {
constexpr uint16_t kLoginProofVersion = 2;
constexpr char kLoginProofMagic[] = "ZARNEL-GUARD-PROOF-V2";  // 21 characters and its zero

bool IsValidChallenge(uint16_t proofVersion, uint32_t challengeBuild, const uint8_t* challengeId,
                      const uint8_t* challengeNonce, const uint8_t* loginName, uint8_t loginNameLength,
                      const uint8_t* machineDigestOut, const uint8_t* publicKeyOut, const uint8_t* signatureOut) {
  if (proofVersion != kLoginProofVersion) return false;
  if (challengeBuild < 1 || challengeBuild > static_cast<uint32_t>(kClientBuild)) return false;
  if (!challengeId || !challengeNonce) return false;
  if (!machineDigestOut || !publicKeyOut || !signatureOut) return false;
  if (IsAllZeroBytes(challengeId, 16) || IsAllZeroBytes(challengeNonce, 32)) return false;
  if (IsAllZeroBytes(guard.machineIdentityDigest, sizeof(guard.machineIdentityDigest))) return false;
  return IsValidLoginName(loginName, loginNameLength);
}

// Fills the record and signs it; deviceKeyLock is held by the caller.
bool SignLoginRecord(uint32_t challengeBuild, const uint8_t* challengeId, const uint8_t* challengeNonce,
                     const uint8_t* loginName, uint8_t loginNameLength, uint8_t record[kLoginProofRecordSize],
                     uint8_t (&digest)[kDeviceDigestSize], uint8_t* publicKeyOut, uint8_t* signatureOut, uint8_t& keyKind) {
  if (!HasDeviceKey()) return false;
  if (!ExportDevicePublicKey(guard.deviceKey, *reinterpret_cast<uint8_t(*)[kDevicePublicKeySize]>(publicKeyOut)))
    return false;
  keyKind = static_cast<uint8_t>(guard.deviceKeyKind);
  std::memcpy(record, kLoginProofMagic, sizeof(kLoginProofMagic));  // magic and its zero: bytes 0..21
  record[22] = static_cast<uint8_t>(kLoginProofVersion);
  PutBigEndian32(record + 23, challengeBuild);
  PutBigEndian32(record + 27, static_cast<uint32_t>(kClientBuild));
  std::memcpy(record + 31, challengeId, 16);
  std::memcpy(record + 47, challengeNonce, 32);
  record[79] = keyKind;
  record[80] = loginNameLength;
  std::memcpy(record + 81, loginName, 32);
  std::memcpy(record + 113, guard.machineIdentityDigest, 32);
  std::memcpy(record + 145, publicKeyOut, kDevicePublicKeySize);
  if (!HashBufferSha256(record, kLoginProofRecordSize, digest)) return false;
  return SignWithDeviceKey(digest, *reinterpret_cast<uint8_t(*)[kDeviceSignatureSize]>(signatureOut));
}
}  // namespace

bool IsValidLoginName(const uint8_t* loginName, uint8_t loginNameLength) {
  if (!loginName || loginNameLength < 1 || loginNameLength > 32) return false;
  for (uint32_t i = 0; i < 32; ++i) {
    uint8_t b = loginName[i];
    if (i < loginNameLength) {
      if (b < 0x21 || b > 0x7E || (b >= 0x41 && b <= 0x5A)) return false;
    } else if (b != 0) {
      return false;
    }
  }
  return true;
}

bool BuildLoginProof(uint16_t proofVersion, uint32_t challengeBuild, const uint8_t* challengeId,
                     const uint8_t* challengeNonce, const uint8_t* loginName, uint8_t loginNameLength,
                     uint32_t* clientBuildOut, uint8_t* keyKindOut, uint8_t* machineDigestOut, uint8_t* publicKeyOut,
                     uint8_t* signatureOut) {
  if (!IsValidChallenge(proofVersion, challengeBuild, challengeId, challengeNonce, loginName, loginNameLength,
                        machineDigestOut, publicKeyOut, signatureOut)) {
    SetLastErrorText(L"ZarnelGuard rejected an invalid login challenge.");
    return false;
  }
  uint8_t record[kLoginProofRecordSize] = {};
  uint8_t digest[kDeviceDigestSize] = {};
  uint8_t keyKind = 0;
  AcquireSRWLockExclusive(&guard.deviceKeyLock);
  bool signedOk = SignLoginRecord(challengeBuild, challengeId, challengeNonce, loginName, loginNameLength, record,
                                  digest, publicKeyOut, signatureOut, keyKind);
  if (signedOk) {
    if (clientBuildOut) *clientBuildOut = static_cast<uint32_t>(kClientBuild);
    if (keyKindOut) *keyKindOut = keyKind;
    std::memcpy(machineDigestOut, guard.machineIdentityDigest, 32);
  }
  ReleaseSRWLockExclusive(&guard.deviceKeyLock);
  SecureZeroMemory(record, sizeof(record));
  SecureZeroMemory(digest, sizeof(digest));
  if (!signedOk) {
    SecureZeroMemory(machineDigestOut, 32);
    SecureZeroMemory(publicKeyOut, kDevicePublicKeySize);
    SecureZeroMemory(signatureOut, kDeviceSignatureSize);
    SetLastErrorText(L"ZarnelGuard could not sign the login challenge.");
    return false;
  }
  return true;
}

void RunPreLoginChecks() {
  if (DetectActiveDebugger()) ActOnActiveDebugger(FindingPhase::kPreLogin);

  ModuleFinding module = {};
  if (ScanLoadedModules(module)) ActOnBlockedModule(FindingPhase::kPreLogin, module);

  ProgramFinding program = {};
  DWORD windowsError = 0;
  ProgramScanResult result = ScanRunningPrograms(true, program, windowsError);
  if (result == kProgramScanFinding) {
    ActOnBlockedProgram(FindingPhase::kPreLogin, program);
  } else if (result != kProgramScanClean) {
    ActOnFailedScan(FindingPhase::kPreLogin, windowsError);
  }
}
