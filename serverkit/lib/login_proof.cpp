#include "login_proof.h"

#include "ecdsa_signature.h"
#include "login_name.h"
#include "public_key.h"

namespace zarnel::serverkit {

namespace {

constexpr char kLoginProofMagic[] = "ZARNEL-GUARD-PROOF-V2";
constexpr std::uint8_t kLoginProofRecordVersion = 2;

Verdict CheckReturnedValues(const LoginProof& proof, const LoginProofPolicy& policy) {
  Verdict verdict = CheckClientBuild(proof.clientBuild, proof.challenge.build,
                                     policy.expectedClientBuild, policy.newestClientBuild);
  if (!verdict.ok()) return verdict;
  verdict = CheckKeyKind(proof.keyKind);
  if (!verdict.ok()) return verdict;
  if (proof.machineDigest.size() != kMachineDigestSize) {
    return Reject(Check::kWrongLength, "machine digest must be 32 bytes");
  }
  // The guard refuses to sign without a machine identity.
  if (IsAllZero(proof.machineDigest)) {
    return Reject(Check::kZeroMachineDigest, "machine digest is all zero");
  }
  return Accept();
}

}  // namespace

Bytes BuildLoginProofRecord(const Challenge& challenge, std::uint32_t clientBuild,
                            std::uint8_t keyKind, const std::string& foldedName,
                            const Bytes& machineDigest, const Bytes& publicKey) {
  Bytes record;
  record.reserve(kLoginProofRecordSize);
  AppendAscii(record, kLoginProofMagic);
  AppendU8(record, 0);
  AppendU8(record, kLoginProofRecordVersion);
  AppendU32Be(record, challenge.build);
  AppendU32Be(record, clientBuild);
  AppendBytes(record, challenge.id);
  AppendBytes(record, challenge.nonce);
  AppendU8(record, keyKind);
  AppendU8(record, static_cast<std::uint8_t>(foldedName.size()));
  AppendBytes(record, LoginNameField(foldedName));
  AppendBytes(record, machineDigest);
  AppendBytes(record, publicKey);
  return record;
}

Verdict VerifyLoginProof(const LoginProof& proof, const LoginProofPolicy& policy) {
  Verdict verdict =
      CheckChallenge(proof.challenge, kLoginChallengeVersion, policy.newestClientBuild);
  if (!verdict.ok()) return verdict;
  const std::string name = FoldLoginName(proof.loginName);
  verdict = CheckLoginName(name);
  if (!verdict.ok()) return verdict;
  verdict = CheckReturnedValues(proof, policy);
  if (!verdict.ok()) return verdict;

  EvpPkeyPtr key;
  verdict = ParsePublicKeyBlob(proof.publicKey, key);
  if (!verdict.ok()) return verdict;
  const Bytes record =
      BuildLoginProofRecord(proof.challenge, proof.clientBuild,
                            static_cast<std::uint8_t>(proof.keyKind), name,
                            proof.machineDigest, proof.publicKey);
  if (record.size() != kLoginProofRecordSize) {
    return Reject(Check::kWrongLength, "rebuilt login proof record is not 217 bytes");
  }
  verdict = VerifyRecordSignature(key.get(), record, proof.signature);
  if (!verdict.ok()) return verdict;

  if (!IsEnrolledKey(policy.knownPublicKeys, proof.publicKey)) {
    return Reject(Check::kUnknownDeviceKey,
                  "proof is signed by a device key other than the enrolled ones");
  }
  return Accept();
}

}  // namespace zarnel::serverkit
