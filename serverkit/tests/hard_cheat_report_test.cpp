#include <gtest/gtest.h>

#include "hard_cheat_report.h"
#include "record_layouts.h"

namespace zarnel::serverkit {
namespace {

using testing::Raw;

const std::string kDebuggerEvidence =
    "ZARNEL-GUARD-EVIDENCE-V1\nviolation=1\nname=active-debugger\ntarget-pid=700\n"
    "access=00000000\n";

struct ReportValues {
  std::uint32_t challengeBuild = 62;
  std::uint16_t clientBuild = 62;
  std::uint8_t keyKind = 2;
  std::uint16_t violation = 1;
};

// A report as the guard hands it out, and the challenge the server issued.
struct SignedReport {
  testing::TestDeviceKey device;
  Challenge challenge;
  testing::HardCheatFields fields;
  Raw record;
  Raw report;
};

SignedReport MakeSignedReport(const ReportValues& v = {}) {
  SignedReport out;
  out.device = testing::MakeTestDeviceKey();
  out.fields.challengeBuild = v.challengeBuild;
  out.fields.clientBuild = v.clientBuild;
  out.fields.keyKind = v.keyKind;
  out.fields.violation = v.violation;
  out.fields.evidenceDigest = testing::Sha256Of(kDebuggerEvidence);
  out.fields.publicKey = out.device.blob;
  out.challenge = {1, v.challengeBuild, out.fields.challengeId, out.fields.challengeNonce};
  out.record = testing::LayHardCheatRecord(out.fields);
  out.report = testing::LayHardCheatReport(out.fields, testing::SignRecord(out.device, out.record));
  return out;
}

Verdict Verify(const SignedReport& fixture, const HardCheatPolicy& policy = {}) {
  HardCheatReport parsed;
  return VerifyHardCheatReport(fixture.report, {fixture.challenge}, policy, parsed);
}

TEST(VerifyHardCheatReport, AcceptsAndReturnsTheReportedFinding) {
  const SignedReport fixture = MakeSignedReport({40, 62, 1, 3});
  Challenge otherOpen = fixture.challenge;
  otherOpen.id = testing::Pattern(16, 0x77);
  otherOpen.build = 62;

  HardCheatReport parsed;
  const Verdict verdict =
      VerifyHardCheatReport(fixture.report, {otherOpen, fixture.challenge}, {}, parsed);
  ASSERT_TRUE(verdict.ok()) << CheckName(verdict.check) << ": " << verdict.detail;
  EXPECT_EQ(parsed.violation, 3);
  EXPECT_EQ(parsed.keyKind, 1);
  EXPECT_EQ(parsed.clientBuild, 62);
  EXPECT_EQ(parsed.reportId, fixture.fields.reportId);
  EXPECT_EQ(parsed.evidenceDigest, fixture.fields.evidenceDigest);
  EXPECT_EQ(parsed.publicKey, fixture.device.blob);
  EXPECT_EQ(parsed.challengeId, fixture.challenge.id);
}

TEST(VerifyHardCheatReport, EndiannessOfHeaderAndRecordDiffer) {
  const SignedReport fixture = MakeSignedReport({62, 62, 2, 3});
  EXPECT_EQ(testing::Slice(fixture.report, 0, 9),
            (Raw{0x01, 0x00, 0x3E, 0x00, 0x00, 0x00, 0x02, 0x03, 0x00}));
  HardCheatReport parsed;
  ASSERT_TRUE(ParseHardCheatReport(fixture.report, parsed).ok());
  const Raw record = BuildHardCheatRecord(parsed, 62);
  EXPECT_EQ(record, fixture.record);
  EXPECT_EQ(testing::Slice(record, 37, 2), (Raw{0x00, 0x03}));
}

TEST(VerifyHardCheatReport, ChecksTheClaimedEvidence) {
  const SignedReport fixture = MakeSignedReport();
  struct Case {
    const char* name;
    EvidenceClaim claim;
    Check expected;
  };
  const Case cases[] = {
      {"the finding itself", {1, "active-debugger", 700, 0}, Check::kOk},
      {"same name before normalising", {1, "  Active  Debugger ", 700, 0}, Check::kOk},
      {"another process id", {1, "active-debugger", 701, 0}, Check::kEvidenceMismatch},
      {"another access mask", {1, "active-debugger", 700, 1}, Check::kEvidenceMismatch},
      {"another violation", {3, "active-debugger", 700, 0}, Check::kEvidenceMismatch},
      {"another name", {1, "active-debuggers", 700, 0}, Check::kEvidenceMismatch},
      {"name that normalises to nothing", {1, "--", 700, 0}, Check::kEvidenceInvalid},
      {"violation out of range", {4, "active-debugger", 700, 0}, Check::kEvidenceInvalid},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HardCheatPolicy policy;
    policy.evidence = c.claim;
    EXPECT_EQ(Verify(fixture, policy).check, c.expected);
  }
}

TEST(VerifyHardCheatReport, NamesTheCheckThatFails) {
  const testing::TestDeviceKey stranger = testing::MakeTestDeviceKey();
  struct Case {
    const char* name;
    std::function<void(Raw&, Challenge&, HardCheatPolicy&)> mutate;
    Check expected;
  };
  const Case cases[] = {
      {"240 bytes", [](Raw& r, Challenge&, HardCheatPolicy&) { r.pop_back(); },
       Check::kWrongLength},
      {"242 bytes", [](Raw& r, Challenge&, HardCheatPolicy&) { r.push_back(0); },
       Check::kWrongLength},
      {"report version 2", [](Raw& r, Challenge&, HardCheatPolicy&) { r[0] = 2; },
       Check::kBadReportVersion},
      {"report version big-endian",
       [](Raw& r, Challenge&, HardCheatPolicy&) { std::swap(r[0], r[1]); },
       Check::kBadReportVersion},
      {"client build below the challenge's",
       [](Raw& r, Challenge&, HardCheatPolicy&) { r[2] = 61; }, Check::kClientBuildOutOfRange},
      {"client build 63", [](Raw& r, Challenge&, HardCheatPolicy&) { r[2] = 63; },
       Check::kClientBuildOutOfRange},
      {"client build big-endian",
       [](Raw& r, Challenge&, HardCheatPolicy&) { std::swap(r[2], r[3]); },
       Check::kClientBuildOutOfRange},
      {"reserved low byte", [](Raw& r, Challenge&, HardCheatPolicy&) { r[4] = 1; },
       Check::kReservedNotZero},
      {"reserved high byte", [](Raw& r, Challenge&, HardCheatPolicy&) { r[5] = 1; },
       Check::kReservedNotZero},
      {"key kind 0", [](Raw& r, Challenge&, HardCheatPolicy&) { r[6] = 0; },
       Check::kKeyKindInvalid},
      {"key kind 3", [](Raw& r, Challenge&, HardCheatPolicy&) { r[6] = 3; },
       Check::kKeyKindInvalid},
      {"key kind 1 claimed", [](Raw& r, Challenge&, HardCheatPolicy&) { r[6] = 1; },
       Check::kSignatureMismatch},
      {"violation 0", [](Raw& r, Challenge&, HardCheatPolicy&) { r[7] = 0; },
       Check::kViolationOutOfRange},
      {"violation 4", [](Raw& r, Challenge&, HardCheatPolicy&) { r[7] = 4; },
       Check::kViolationOutOfRange},
      {"violation big-endian",
       [](Raw& r, Challenge&, HardCheatPolicy&) { std::swap(r[7], r[8]); },
       Check::kViolationOutOfRange},
      {"violation 3 claimed", [](Raw& r, Challenge&, HardCheatPolicy&) { r[7] = 3; },
       Check::kSignatureMismatch},
      {"report id zero",
       [](Raw& r, Challenge&, HardCheatPolicy&) { std::fill(r.begin() + 9, r.begin() + 25, 0); },
       Check::kZeroReportId},
      {"report id flipped", [](Raw& r, Challenge&, HardCheatPolicy&) { r[24] ^= 1; },
       Check::kSignatureMismatch},
      {"challenge id not issued", [](Raw& r, Challenge&, HardCheatPolicy&) { r[25] ^= 1; },
       Check::kChallengeMismatch},
      {"nonce differs", [](Raw& r, Challenge&, HardCheatPolicy&) { r[72] ^= 1; },
       Check::kNonceMismatch},
      {"evidence digest flipped", [](Raw& r, Challenge&, HardCheatPolicy&) { r[73] ^= 1; },
       Check::kSignatureMismatch},
      {"public key magic", [](Raw& r, Challenge&, HardCheatPolicy&) { r[105] = 0; },
       Check::kBadKeyMagic},
      {"public key length", [](Raw& r, Challenge&, HardCheatPolicy&) { r[109] = 0x42; },
       Check::kBadKeyLength},
      {"public key Y flipped", [](Raw& r, Challenge&, HardCheatPolicy&) { r[176] ^= 1; },
       Check::kPointNotOnCurve},
      {"another device's key",
       [&](Raw& r, Challenge&, HardCheatPolicy&) {
         std::copy(stranger.blob.begin(), stranger.blob.end(), r.begin() + 105);
       },
       Check::kSignatureMismatch},
      {"signature r flipped", [](Raw& r, Challenge&, HardCheatPolicy&) { r[177] ^= 1; },
       Check::kSignatureMismatch},
      {"signature s flipped", [](Raw& r, Challenge&, HardCheatPolicy&) { r[240] ^= 1; },
       Check::kSignatureMismatch},
      {"signature r zero",
       [](Raw& r, Challenge&, HardCheatPolicy&) { std::fill(r.begin() + 177, r.begin() + 209, 0); },
       Check::kSignatureOutOfRange},
      // The challenge the server issued under that id.
      {"issued with build 61", [](Raw&, Challenge& c, HardCheatPolicy&) { c.build = 61; },
       Check::kSignatureMismatch},
      {"issued as a login challenge", [](Raw&, Challenge& c, HardCheatPolicy&) { c.version = 2; },
       Check::kBadChallengeVersion},
      {"issued with build 63", [](Raw&, Challenge& c, HardCheatPolicy&) { c.build = 63; },
       Check::kChallengeBuildOutOfRange},
      {"enrolled key differs",
       [&](Raw&, Challenge&, HardCheatPolicy& p) { p.knownPublicKeys = {stranger.blob}; },
       Check::kUnknownDeviceKey},
      {"pinned to build 61",
       [](Raw&, Challenge&, HardCheatPolicy& p) { p.expectedClientBuild = 61; },
       Check::kClientBuildMismatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SignedReport fixture = MakeSignedReport();
    HardCheatPolicy policy;
    c.mutate(fixture.report, fixture.challenge, policy);
    EXPECT_EQ(Verify(fixture, policy).check, c.expected);
  }
}

TEST(VerifyHardCheatReport, RejectsWhenNoChallengeIsOpen) {
  const SignedReport fixture = MakeSignedReport();
  HardCheatReport parsed;
  EXPECT_EQ(VerifyHardCheatReport(fixture.report, {}, {}, parsed).check,
            Check::kChallengeMismatch);
}

}  // namespace
}  // namespace zarnel::serverkit
