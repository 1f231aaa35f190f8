// Login proofs and hard-cheat reports that the real ZarnelGuard.dll produced
// under Wine, verified by the kit. The end-to-end script that runs the guard
// writes them to a file and names it in ZARNEL_REAL_GUARD_SAMPLES; without
// it (the kit built on its own) these tests are skipped.
//
// Besides acceptance, every single bit of what the signed record is rebuilt
// from (the issued challenge, the name, the values the client returned, the
// report's bytes), of the signature and of the public key is flipped in
// turn, and each change must be rejected by the check that its field is
// guarded by.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "hard_cheat_report.h"
#include "key_value_file.h"
#include "login_proof.h"
#include "test_support.h"

namespace zarnel::serverkit {
namespace {

using testing::KeyValues;
using testing::Raw;
using testing::Unhex;

std::uint32_t Number(const KeyValues& v, const std::string& key, int base = 10) {
  return static_cast<std::uint32_t>(std::stoul(v.at(key), nullptr, base));
}

Challenge ChallengeOf(const KeyValues& v) {
  return Challenge{static_cast<std::uint16_t>(Number(v, "challenge_version")),
                   Number(v, "challenge_build"), Unhex(v.at("challenge_id")),
                   Unhex(v.at("challenge_nonce"))};
}

bool BelowOrder(const Raw& scalar) {
  const Raw order = testing::P256Order();
  return std::lexicographical_compare(scalar.begin(), scalar.end(), order.begin(), order.end());
}

// What a changed 72-byte public key blob is rejected as.
Check ExpectedForKey(const Raw& key) {
  if (!std::equal(key.begin(), key.begin() + 4, Raw{0x45, 0x43, 0x53, 0x31}.begin()))
    return Check::kBadKeyMagic;
  if (!std::equal(key.begin() + 4, key.begin() + 8, Raw{0x20, 0, 0, 0}.begin()))
    return Check::kBadKeyLength;
  // One bit off in X or Y: the equation of the curve no longer holds.
  return Check::kPointNotOnCurve;
}

// What a changed 64-byte r-then-s signature is rejected as.
Check ExpectedForSignature(const Raw& signature) {
  for (std::size_t half : {0u, 32u}) {
    const Raw scalar = testing::Slice(signature, half, 32);
    if (IsAllZero(scalar) || !BelowOrder(scalar)) return Check::kSignatureOutOfRange;
  }
  return Check::kSignatureMismatch;
}

// Flips each bit of `bytes` in turn and checks what `verify` says of it.
void FlipEveryBit(const char* field, Raw& bytes, const std::function<Check()>& expected,
                  const std::function<Verdict()>& verify, int& flips) {
  for (std::size_t byte = 0; byte < bytes.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      bytes[byte] ^= static_cast<std::uint8_t>(1u << bit);
      const Check want = expected();
      const Verdict got = verify();
      EXPECT_EQ(got.check, want) << field << " byte " << byte << " bit " << bit << ": "
                                 << got.detail;
      if (want != Check::kOk) {
        EXPECT_FALSE(got.detail.empty()) << field << " byte " << byte << " bit " << bit;
      }
      bytes[byte] ^= static_cast<std::uint8_t>(1u << bit);
      ++flips;
    }
  }
}

template <typename Integer>
void FlipEveryBitOf(const char* field, Integer& value, const std::function<Check()>& expected,
                    const std::function<Verdict()>& verify, int& flips) {
  for (unsigned bit = 0; bit < 8 * sizeof(Integer); ++bit) {
    value = static_cast<Integer>(value ^ (Integer{1} << bit));
    const Check want = expected();
    const Verdict got = verify();
    EXPECT_EQ(got.check, want) << field << " bit " << bit << " (value " << +value << "): "
                               << got.detail;
    value = static_cast<Integer>(value ^ (Integer{1} << bit));
    ++flips;
  }
}

Check ExpectedForChallengeBuild(std::uint32_t build, std::uint32_t clientBuild) {
  if (build < 1 || build > 62) return Check::kChallengeBuildOutOfRange;
  if (clientBuild < build) return Check::kClientBuildOutOfRange;
  return Check::kSignatureMismatch;
}

Check ExpectedForClientBuild(std::uint32_t clientBuild, std::uint32_t challengeBuild) {
  if (clientBuild < challengeBuild || clientBuild > 62) return Check::kClientBuildOutOfRange;
  return Check::kSignatureMismatch;
}

class RealGuardSamples : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* path = std::getenv("ZARNEL_REAL_GUARD_SAMPLES");
    if (!path || !*path) {
      GTEST_SKIP() << "ZARNEL_REAL_GUARD_SAMPLES names no file of real guard outputs";
    }
    ASSERT_TRUE(testing::ReadKeyValueFile(path, samples_)) << "cannot read " << path;
  }
  const KeyValues& Sample(const std::string& name) {
    EXPECT_TRUE(samples_.count(name)) << "no [" << name << "] in the samples";
    return samples_[name];
  }
  std::vector<std::string> ReportSections() const {
    std::vector<std::string> names;
    for (const auto& [name, values] : samples_) {
      if (name.rfind("hard-cheat", 0) == 0) names.push_back(name);
    }
    return names;
  }

  std::map<std::string, KeyValues> samples_;
};

LoginProof ProofOf(const KeyValues& v) {
  LoginProof proof;
  proof.challenge = ChallengeOf(v);
  proof.loginName = v.at("login_name");
  proof.clientBuild = Number(v, "client_build");
  proof.keyKind = Number(v, "key_kind");
  proof.machineDigest = Unhex(v.at("machine_digest"));
  proof.publicKey = Unhex(v.at("public_key"));
  proof.signature = Unhex(v.at("signature"));
  return proof;
}

TEST_F(RealGuardSamples, TheLoginProofVerifies) {
  const LoginProof proof = ProofOf(Sample("login"));
  LoginProofPolicy policy;
  policy.knownPublicKeys = {proof.publicKey};
  policy.expectedClientBuild = 62;
  const Verdict verdict = VerifyLoginProof(proof, policy);
  EXPECT_TRUE(verdict.ok()) << CheckName(verdict.check) << ": " << verdict.detail;
  EXPECT_TRUE(proof.keyKind == 1 || proof.keyKind == 2) << proof.keyKind;
}

TEST_F(RealGuardSamples, EverySingleBitChangeOfTheLoginProofIsRejected) {
  LoginProof proof = ProofOf(Sample("login"));
  ASSERT_TRUE(VerifyLoginProof(proof).ok());
  const auto verify = [&] { return VerifyLoginProof(proof); };
  int flips = 0;

  FlipEveryBitOf("challenge version", proof.challenge.version,
                 [] { return Check::kBadChallengeVersion; }, verify, flips);
  FlipEveryBitOf("challenge build", proof.challenge.build,
                 [&] { return ExpectedForChallengeBuild(proof.challenge.build, proof.clientBuild); },
                 verify, flips);
  FlipEveryBit("challenge id", proof.challenge.id,
               [&] { return IsAllZero(proof.challenge.id) ? Check::kZeroChallengeId : Check::kSignatureMismatch; },
               verify, flips);
  FlipEveryBit("challenge nonce", proof.challenge.nonce,
               [&] {
                 return IsAllZero(proof.challenge.nonce) ? Check::kZeroChallengeNonce
                                                         : Check::kSignatureMismatch;
               },
               verify, flips);
  // The name the server expects: the server folds it, so a letter turned
  // upper case is the same name; anything outside 0x21..0x7E is refused.
  const std::string signedName = proof.loginName;
  Raw name(signedName.begin(), signedName.end());
  FlipEveryBit("login name", name,
               [&] {
                 std::string folded(name.begin(), name.end());
                 for (char& c : folded) {
                   if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
                 }
                 for (unsigned char c : folded) {
                   if (c < 0x21 || c > 0x7E) return Check::kLoginNameCharacter;
                 }
                 return folded == signedName ? Check::kOk : Check::kSignatureMismatch;
               },
               [&] {
                 proof.loginName.assign(name.begin(), name.end());
                 const Verdict verdict = VerifyLoginProof(proof);
                 proof.loginName = signedName;
                 return verdict;
               },
               flips);
  FlipEveryBitOf("client build", proof.clientBuild,
                 [&] { return ExpectedForClientBuild(proof.clientBuild, proof.challenge.build); },
                 verify, flips);
  // On the wire the kind is one byte.
  std::uint8_t kind = static_cast<std::uint8_t>(proof.keyKind);
  FlipEveryBitOf("key kind", kind, [] { return Check::kKeyKindInvalid; },
                 [&] {
                   const std::uint32_t signedKind = proof.keyKind;
                   proof.keyKind = kind;
                   const Verdict verdict = VerifyLoginProof(proof);
                   proof.keyKind = signedKind;
                   return verdict;
                 },
                 flips);
  FlipEveryBit("machine digest", proof.machineDigest,
               [&] {
                 return IsAllZero(proof.machineDigest) ? Check::kZeroMachineDigest
                                                       : Check::kSignatureMismatch;
               },
               verify, flips);
  FlipEveryBit("public key", proof.publicKey, [&] { return ExpectedForKey(proof.publicKey); },
               verify, flips);
  FlipEveryBit("signature", proof.signature,
               [&] { return ExpectedForSignature(proof.signature); }, verify, flips);

  EXPECT_EQ(flips, 16 + 32 + 128 + 256 + 8 * static_cast<int>(signedName.size()) + 32 + 8 + 256 +
                       576 + 512);
  EXPECT_TRUE(VerifyLoginProof(proof).ok()) << "every flip was undone";
}

TEST_F(RealGuardSamples, TheHardCheatReportsVerifyWithTheirEvidence) {
  const std::vector<std::string> reports = ReportSections();
  ASSERT_FALSE(reports.empty()) << "the samples hold no hard-cheat report";
  for (const std::string& name : reports) {
    SCOPED_TRACE(name);
    const KeyValues& v = Sample(name);
    const Raw bytes = Unhex(v.at("report"));
    HardCheatPolicy policy;
    policy.evidence = EvidenceClaim{Number(v, "evidence_violation"), v.at("evidence_name"),
                                    Number(v, "evidence_pid"), Number(v, "evidence_access", 16)};
    HardCheatReport report;
    const Verdict verdict = VerifyHardCheatReport(bytes, {ChallengeOf(v)}, policy, report);
    EXPECT_TRUE(verdict.ok()) << CheckName(verdict.check) << ": " << verdict.detail;
    EXPECT_EQ(report.violation, Number(v, "evidence_violation"));

    // The evidence ties the report to this process and this access.
    policy.evidence->processId ^= 1;
    EXPECT_EQ(VerifyHardCheatReport(bytes, {ChallengeOf(v)}, policy, report).check,
              Check::kEvidenceMismatch);
  }
}

TEST_F(RealGuardSamples, EverySingleBitChangeOfAHardCheatReportIsRejected) {
  const std::vector<std::string> reports = ReportSections();
  ASSERT_FALSE(reports.empty()) << "the samples hold no hard-cheat report";
  for (const std::string& name : reports) {
    SCOPED_TRACE(name);
    const KeyValues& v = Sample(name);
    Raw bytes = Unhex(v.at("report"));
    Challenge issued = ChallengeOf(v);
    HardCheatReport signedReport;
    ASSERT_TRUE(VerifyHardCheatReport(bytes, {issued}, {}, signedReport).ok());
    const auto verify = [&] {
      HardCheatReport parsed;
      return VerifyHardCheatReport(bytes, {issued}, {}, parsed);
    };
    int flips = 0;

    FlipEveryBitOf("challenge build", issued.build,
                   [&] { return ExpectedForChallengeBuild(issued.build, signedReport.clientBuild); },
                   verify, flips);
    FlipEveryBit("report", bytes,
                 [&] {
                   HardCheatReport now;
                   EXPECT_TRUE(ParseHardCheatReport(bytes, now).ok());
                   if (now.formatVersion != 1) return Check::kBadReportVersion;
                   if (now.reserved != 0) return Check::kReservedNotZero;
                   if (now.keyKind != 1 && now.keyKind != 2) return Check::kKeyKindInvalid;
                   if (now.violation < 1 || now.violation > 3) return Check::kViolationOutOfRange;
                   if (IsAllZero(now.reportId)) return Check::kZeroReportId;
                   if (now.challengeId != issued.id) return Check::kChallengeMismatch;
                   if (now.challengeNonce != issued.nonce) return Check::kNonceMismatch;
                   if (now.clientBuild != signedReport.clientBuild)
                     return ExpectedForClientBuild(now.clientBuild, issued.build);
                   if (now.publicKey != signedReport.publicKey) return ExpectedForKey(now.publicKey);
                   if (now.signature != signedReport.signature)
                     return ExpectedForSignature(now.signature);
                   // Key kind, violation, report id, evidence digest: signed bytes.
                   return Check::kSignatureMismatch;
                 },
                 verify, flips);
    EXPECT_EQ(flips, 32 + 241 * 8);
    EXPECT_TRUE(verify().ok()) << "every flip was undone";

    // Shortened and lengthened reports.
    for (std::size_t size : {240u, 242u}) {
      Raw resized = bytes;
      resized.resize(size, 0);
      HardCheatReport parsed;
      EXPECT_EQ(VerifyHardCheatReport(resized, {issued}, {}, parsed).check, Check::kWrongLength)
          << size;
    }
  }
}

}  // namespace
}  // namespace zarnel::serverkit
