// The kit's record builders and verifiers against the known-answer vectors
// that the guard's own unit tests read too (tests/vectors/record_vectors.txt
// in the repository): both sides must produce these exact bytes.
#include <gtest/gtest.h>

#include "evidence.h"
#include "hard_cheat_report.h"
#include "key_value_file.h"
#include "login_proof.h"
#include "test_support.h"

namespace zarnel::serverkit {
namespace {

using testing::Hex;
using testing::KeyValues;
using testing::Raw;
using testing::Unhex;

class RecordVectors : public ::testing::Test {
 protected:
  void SetUp() override {
#ifdef ZARNEL_RECORD_VECTORS
    ASSERT_TRUE(testing::ReadKeyValueFile(ZARNEL_RECORD_VECTORS, vectors_))
        << "cannot read " << ZARNEL_RECORD_VECTORS;
#else
    GTEST_SKIP() << "the kit was built without the guard's repository: no shared vectors";
#endif
  }
  const KeyValues& Vector(const std::string& name) {
    EXPECT_TRUE(vectors_.count(name)) << "no section [" << name << "]";
    return vectors_[name];
  }
  static std::uint32_t Number(const KeyValues& v, const std::string& key, int base = 10) {
    return static_cast<std::uint32_t>(std::stoul(v.at(key), nullptr, base));
  }

  std::map<std::string, KeyValues> vectors_;
};

TEST_F(RecordVectors, LoginProofRecordAndItsSignature) {
  const KeyValues& v = Vector("login-proof");
  LoginProof proof;
  proof.challenge = {2, Number(v, "challenge_build"), Unhex(v.at("challenge_id")),
                     Unhex(v.at("challenge_nonce"))};
  proof.loginName = v.at("login_name");
  proof.clientBuild = Number(v, "client_build");
  proof.keyKind = Number(v, "key_kind");
  proof.machineDigest = Unhex(v.at("machine_digest"));
  proof.publicKey = Unhex(v.at("public_key"));
  proof.signature = Unhex(v.at("signature"));
  ASSERT_EQ(proof.loginName.size(), Number(v, "login_name_length"));

  const Raw record = BuildLoginProofRecord(proof.challenge, proof.clientBuild,
                                           static_cast<std::uint8_t>(proof.keyKind),
                                           proof.loginName, proof.machineDigest, proof.publicKey);
  ASSERT_EQ(record.size(), kLoginProofRecordSize);
  EXPECT_EQ(Hex(record), v.at("record"));
  EXPECT_EQ(Hex(testing::Slice(record, 21, 10)), "00020000000500000" "03e");
  EXPECT_EQ(Hex(testing::Sha256Of(record)), v.at("record_sha256"));

  const Verdict verdict = VerifyLoginProof(proof);
  EXPECT_TRUE(verdict.ok()) << CheckName(verdict.check) << ": " << verdict.detail;
}

TEST_F(RecordVectors, EvidenceTextsAndDigests) {
  for (const char* name : {"evidence-debugger", "evidence-hard-cheat-program"}) {
    SCOPED_TRACE(name);
    const KeyValues& v = Vector(name);
    const EvidenceClaim claim{Number(v, "violation"), v.at("name"), Number(v, "target_pid"),
                              Number(v, "access", 16)};
    std::string normalised;
    ASSERT_TRUE(NormaliseEvidenceName(claim.name, normalised));
    EXPECT_EQ(normalised, v.at("normalised_name"));

    std::string text;
    ASSERT_TRUE(FormatEvidenceText(claim, text).ok());
    EXPECT_EQ(text.size(), Number(v, "text_length"));
    EXPECT_EQ(Hex(Raw(text.begin(), text.end())), v.at("text"));

    Bytes digest;
    ASSERT_TRUE(ComputeEvidenceDigest(claim, digest).ok());
    EXPECT_EQ(Hex(digest), v.at("sha256"));
  }
  EXPECT_EQ(Number(Vector("evidence-debugger"), "text_length"), 89u);
}

TEST_F(RecordVectors, HardCheatReportsRecordsAndSignatures) {
  const struct {
    const char* report;
    const char* evidence;
  } cases[] = {
      {"hard-cheat-debugger", "evidence-debugger"},
      {"hard-cheat-program", "evidence-hard-cheat-program"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.report);
    const KeyValues& v = Vector(c.report);
    const KeyValues& e = Vector(c.evidence);
    const Raw bytes = Unhex(v.at("report"));

    HardCheatReport parsed;
    ASSERT_TRUE(ParseHardCheatReport(bytes, parsed).ok());
    EXPECT_EQ(parsed.formatVersion, 1);
    EXPECT_EQ(parsed.clientBuild, 62);
    EXPECT_EQ(parsed.keyKind, Number(v, "key_kind"));
    EXPECT_EQ(parsed.violation, Number(v, "violation"));
    EXPECT_EQ(Hex(parsed.reportId), v.at("report_id"));
    EXPECT_EQ(Hex(parsed.challengeId), v.at("challenge_id"));
    EXPECT_EQ(Hex(parsed.challengeNonce), v.at("challenge_nonce"));
    EXPECT_EQ(Hex(parsed.evidenceDigest), v.at("evidence_digest"));
    EXPECT_EQ(Hex(parsed.evidenceDigest), e.at("sha256"));
    EXPECT_EQ(Hex(parsed.publicKey), v.at("public_key"));
    EXPECT_EQ(Hex(parsed.signature), v.at("signature"));

    const Raw record = BuildHardCheatRecord(parsed, Number(v, "challenge_build"));
    ASSERT_EQ(record.size(), kHardCheatRecordSize);
    EXPECT_EQ(Hex(record), v.at("record"));
    EXPECT_EQ(Hex(testing::Sha256Of(record)), v.at("record_sha256"));
    // The violation: little-endian in the report, big-endian in the record.
    EXPECT_EQ(bytes[7], Number(v, "violation"));
    EXPECT_EQ(record[38], Number(v, "violation"));

    const Challenge issued{1, Number(v, "challenge_build"), Unhex(v.at("challenge_id")),
                           Unhex(v.at("challenge_nonce"))};
    HardCheatPolicy policy;
    policy.evidence = EvidenceClaim{Number(e, "violation"), e.at("name"), Number(e, "target_pid"),
                                    Number(e, "access", 16)};
    HardCheatReport verified;
    const Verdict verdict = VerifyHardCheatReport(bytes, {issued}, policy, verified);
    EXPECT_TRUE(verdict.ok()) << CheckName(verdict.check) << ": " << verdict.detail;
  }
}

}  // namespace
}  // namespace zarnel::serverkit
