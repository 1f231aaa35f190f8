#include "hard_cheat_report.h"

#include <string>

#include "ecdsa_signature.h"
#include "public_key.h"

namespace zarnel::serverkit {

namespace {

constexpr char kHardCheatMagic[] = "ZARNEL-GUARD-HARD-CHEAT-V1";
constexpr std::uint8_t kHardCheatRecordVersion = 1;

Bytes Slice(const Bytes& bytes, std::size_t offset, std::size_t size) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
               bytes.begin() + static_cast<std::ptrdiff_t>(offset + size));
}

Verdict CheckHeader(const HardCheatReport& report) {
  if (report.formatVersion != kHardCheatReportVersion) {
    return Reject(Check::kBadReportVersion,
                  "report version " + std::to_string(report.formatVersion) + ", expected 1");
  }
  if (report.reserved != 0) {
    return Reject(Check::kReservedNotZero, "report reserved field is not zero");
  }
  Verdict verdict = CheckKeyKind(report.keyKind);
  if (!verdict.ok()) return verdict;
  if (report.violation < 1 || report.violation > kMaxViolation) {
    return Reject(Check::kViolationOutOfRange,
                  "violation " + std::to_string(report.violation) + " is not 1 to 3");
  }
  if (IsAllZero(report.reportId)) {
    return Reject(Check::kZeroReportId, "report id is all zero");
  }
  return Accept();
}

const Challenge* FindChallenge(const std::vector<Challenge>& issued, const Bytes& id) {
  for (const Challenge& challenge : issued) {
    if (challenge.id == id) return &challenge;
  }
  return nullptr;
}

Verdict CheckEvidence(const HardCheatReport& report, const EvidenceClaim& claim) {
  Bytes expected;
  Verdict verdict = ComputeEvidenceDigest(claim, expected);
  if (!verdict.ok()) {
    return Reject(Check::kEvidenceInvalid, "claimed evidence: " + verdict.detail);
  }
  if (expected != report.evidenceDigest) {
    return Reject(Check::kEvidenceMismatch,
                  "evidence digest differs from the one computed from the claimed finding");
  }
  return Accept();
}

}  // namespace

Verdict ParseHardCheatReport(const Bytes& bytes, HardCheatReport& report) {
  report = HardCheatReport{};
  if (bytes.size() != kHardCheatReportSize) {
    return Reject(Check::kWrongLength,
                  "report must be 241 bytes, got " + std::to_string(bytes.size()));
  }
  report.formatVersion = ReadU16Le(bytes.data() + 0);
  report.clientBuild = ReadU16Le(bytes.data() + 2);
  report.reserved = ReadU16Le(bytes.data() + 4);
  report.keyKind = bytes[6];
  report.violation = ReadU16Le(bytes.data() + 7);
  report.reportId = Slice(bytes, 9, 16);
  report.challengeId = Slice(bytes, 25, 16);
  report.challengeNonce = Slice(bytes, 41, 32);
  report.evidenceDigest = Slice(bytes, 73, 32);
  report.publicKey = Slice(bytes, 105, 72);
  report.signature = Slice(bytes, 177, 64);
  return Accept();
}

Bytes BuildHardCheatRecord(const HardCheatReport& report, std::uint32_t challengeBuild) {
  Bytes record;
  record.reserve(kHardCheatRecordSize);
  AppendAscii(record, kHardCheatMagic);
  AppendU8(record, 0);
  AppendU8(record, kHardCheatRecordVersion);
  AppendU32Be(record, challengeBuild);
  AppendU32Be(record, report.clientBuild);
  AppendU8(record, report.keyKind);
  AppendU16Be(record, report.violation);
  AppendBytes(record, report.reportId);
  AppendBytes(record, report.challengeId);
  AppendBytes(record, report.challengeNonce);
  AppendBytes(record, report.evidenceDigest);
  AppendBytes(record, report.publicKey);
  return record;
}

Verdict VerifyHardCheatReport(const Bytes& bytes, const std::vector<Challenge>& issued,
                              const HardCheatPolicy& policy, HardCheatReport& report) {
  Verdict verdict = ParseHardCheatReport(bytes, report);
  if (!verdict.ok()) return verdict;
  verdict = CheckHeader(report);
  if (!verdict.ok()) return verdict;

  const Challenge* challenge = FindChallenge(issued, report.challengeId);
  if (challenge == nullptr) {
    return Reject(Check::kChallengeMismatch,
                  "no issued hard-cheat challenge has id " + ToHex(report.challengeId));
  }
  verdict = CheckChallenge(*challenge, kHardCheatChallengeVersion, policy.newestClientBuild);
  if (!verdict.ok()) return verdict;
  if (challenge->nonce != report.challengeNonce) {
    return Reject(Check::kNonceMismatch, "report nonce differs from the issued challenge's");
  }
  verdict = CheckClientBuild(report.clientBuild, challenge->build, policy.expectedClientBuild,
                             policy.newestClientBuild);
  if (!verdict.ok()) return verdict;

  EvpPkeyPtr key;
  verdict = ParsePublicKeyBlob(report.publicKey, key);
  if (!verdict.ok()) return verdict;
  const Bytes record = BuildHardCheatRecord(report, challenge->build);
  if (record.size() != kHardCheatRecordSize) {
    return Reject(Check::kWrongLength, "rebuilt hard-cheat record is not 207 bytes");
  }
  verdict = VerifyRecordSignature(key.get(), record, report.signature);
  if (!verdict.ok()) return verdict;

  if (!IsEnrolledKey(policy.knownPublicKeys, report.publicKey)) {
    return Reject(Check::kUnknownDeviceKey,
                  "report is signed by a device key other than the enrolled ones");
  }
  if (!policy.evidence) return Accept();
  EvidenceClaim claim = *policy.evidence;
  if (policy.evidenceViolationFromReport) claim.violation = report.violation;
  return CheckEvidence(report, claim);
}

}  // namespace zarnel::serverkit
