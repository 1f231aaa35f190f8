#include <gtest/gtest.h>

#include "login_proof.h"
#include "record_layouts.h"

namespace zarnel::serverkit {
namespace {

using testing::Raw;

struct SignedValues {
  std::uint32_t challengeBuild = 62;
  std::uint32_t clientBuild = 62;
  std::uint8_t keyKind = 2;
  std::string signedName = "alice";
};

// What the guard would have produced for a challenge, signed by a device key.
struct SignedLoginProof {
  testing::TestDeviceKey device;
  Raw record;
  LoginProof proof;
};

SignedLoginProof MakeSignedLoginProof(const SignedValues& v = {}) {
  SignedLoginProof out;
  out.device = testing::MakeTestDeviceKey();
  testing::LoginRecordFields fields;
  fields.challengeBuild = v.challengeBuild;
  fields.clientBuild = v.clientBuild;
  fields.keyKind = v.keyKind;
  fields.loginName = v.signedName;
  fields.publicKey = out.device.blob;
  out.record = testing::LayLoginProofRecord(fields);
  out.proof.challenge = {2, v.challengeBuild, fields.challengeId, fields.challengeNonce};
  out.proof.loginName = v.signedName;
  out.proof.clientBuild = v.clientBuild;
  out.proof.keyKind = v.keyKind;
  out.proof.machineDigest = fields.machineDigest;
  out.proof.publicKey = out.device.blob;
  out.proof.signature = testing::SignRecord(out.device, out.record);
  return out;
}

TEST(VerifyLoginProof, AcceptsWhatTheGuardSigns) {
  struct Case {
    const char* name;
    SignedValues values;
    std::string expectedName;  // what the server passes in
  };
  const Case cases[] = {
      {"newest build, software key", {62, 62, 2, "alice"}, "alice"},
      {"old challenge build, platform key", {5, 62, 1, "bob"}, "bob"},
      {"client build between", {30, 41, 2, "carol"}, "carol"},
      {"32-byte name", {62, 62, 2, std::string(32, 'z')}, std::string(32, 'z')},
      {"one-byte punctuation name", {62, 62, 2, "~"}, "~"},
      {"server folds the expected name", {62, 62, 2, "dave.k"}, "Dave.K"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SignedLoginProof fixture = MakeSignedLoginProof(c.values);
    fixture.proof.loginName = c.expectedName;
    const Verdict verdict = VerifyLoginProof(fixture.proof);
    EXPECT_TRUE(verdict.ok()) << CheckName(verdict.check) << ": " << verdict.detail;
  }
}

TEST(VerifyLoginProof, RebuildsTheRecordByteForByte) {
  const SignedValues values{5, 62, 1, "zed"};
  const SignedLoginProof fixture = MakeSignedLoginProof(values);
  const Raw record =
      BuildLoginProofRecord(fixture.proof.challenge, 62, 1, "zed", fixture.proof.machineDigest,
                            fixture.proof.publicKey);
  EXPECT_EQ(record, fixture.record);
  ASSERT_EQ(record.size(), 217u);
  const Raw around = testing::Slice(record, 21, 10);
  EXPECT_EQ(around, (Raw{0x00, 0x02, 0, 0, 0, 5, 0, 0, 0, 0x3E}));
}

TEST(VerifyLoginProof, NamesTheCheckThatFails) {
  const testing::TestDeviceKey stranger = testing::MakeTestDeviceKey();
  struct Case {
    const char* name;
    std::function<void(LoginProof&, LoginProofPolicy&)> mutate;
    Check expected;
  };
  const Case cases[] = {
      // The challenge as the server stored it.
      {"challenge version 1", [](LoginProof& p, LoginProofPolicy&) { p.challenge.version = 1; },
       Check::kBadChallengeVersion},
      {"challenge build 0", [](LoginProof& p, LoginProofPolicy&) { p.challenge.build = 0; },
       Check::kChallengeBuildOutOfRange},
      {"challenge build 63", [](LoginProof& p, LoginProofPolicy&) { p.challenge.build = 63; },
       Check::kChallengeBuildOutOfRange},
      {"challenge build 61", [](LoginProof& p, LoginProofPolicy&) { p.challenge.build = 61; },
       Check::kSignatureMismatch},
      {"challenge id 15 bytes", [](LoginProof& p, LoginProofPolicy&) { p.challenge.id.pop_back(); },
       Check::kWrongLength},
      {"challenge id zero",
       [](LoginProof& p, LoginProofPolicy&) { p.challenge.id.assign(16, 0); },
       Check::kZeroChallengeId},
      {"challenge nonce zero",
       [](LoginProof& p, LoginProofPolicy&) { p.challenge.nonce.assign(32, 0); },
       Check::kZeroChallengeNonce},
      {"another challenge id",
       [](LoginProof& p, LoginProofPolicy&) { p.challenge.id[0] ^= 1; },
       Check::kSignatureMismatch},
      {"another nonce", [](LoginProof& p, LoginProofPolicy&) { p.challenge.nonce[31] ^= 1; },
       Check::kSignatureMismatch},
      // The name the server expects.
      {"another name", [](LoginProof& p, LoginProofPolicy&) { p.loginName = "alicf"; },
       Check::kSignatureMismatch},
      {"name with a longer zero-padded field",
       [](LoginProof& p, LoginProofPolicy&) { p.loginName = "alice!"; },
       Check::kSignatureMismatch},
      {"empty name", [](LoginProof& p, LoginProofPolicy&) { p.loginName.clear(); },
       Check::kLoginNameLength},
      {"33-byte name", [](LoginProof& p, LoginProofPolicy&) { p.loginName.assign(33, 'a'); },
       Check::kLoginNameLength},
      {"name with a space", [](LoginProof& p, LoginProofPolicy&) { p.loginName = "ali ce"; },
       Check::kLoginNameCharacter},
      // The five values the client returned.
      {"client build below the challenge's",
       [](LoginProof& p, LoginProofPolicy&) { p.clientBuild = 61; },
       Check::kClientBuildOutOfRange},
      {"client build 63", [](LoginProof& p, LoginProofPolicy&) { p.clientBuild = 63; },
       Check::kClientBuildOutOfRange},
      {"client build 2^32-1",
       [](LoginProof& p, LoginProofPolicy&) { p.clientBuild = 0xFFFFFFFF; },
       Check::kClientBuildOutOfRange},
      {"key kind 0", [](LoginProof& p, LoginProofPolicy&) { p.keyKind = 0; },
       Check::kKeyKindInvalid},
      {"key kind 3", [](LoginProof& p, LoginProofPolicy&) { p.keyKind = 3; },
       Check::kKeyKindInvalid},
      {"key kind 258 (2 in its low byte)",
       [](LoginProof& p, LoginProofPolicy&) { p.keyKind = 258; }, Check::kKeyKindInvalid},
      {"key kind 1 claimed", [](LoginProof& p, LoginProofPolicy&) { p.keyKind = 1; },
       Check::kSignatureMismatch},
      {"machine digest flipped",
       [](LoginProof& p, LoginProofPolicy&) { p.machineDigest[16] ^= 0x40; },
       Check::kSignatureMismatch},
      {"machine digest 31 bytes",
       [](LoginProof& p, LoginProofPolicy&) { p.machineDigest.pop_back(); },
       Check::kWrongLength},
      {"machine digest zero",
       [](LoginProof& p, LoginProofPolicy&) { p.machineDigest.assign(32, 0); },
       Check::kZeroMachineDigest},
      {"public key 71 bytes", [](LoginProof& p, LoginProofPolicy&) { p.publicKey.pop_back(); },
       Check::kWrongLength},
      {"public key magic", [](LoginProof& p, LoginProofPolicy&) { p.publicKey[0] ^= 1; },
       Check::kBadKeyMagic},
      {"public key length", [](LoginProof& p, LoginProofPolicy&) { p.publicKey[4] = 0x30; },
       Check::kBadKeyLength},
      {"public key Y flipped", [](LoginProof& p, LoginProofPolicy&) { p.publicKey[71] ^= 1; },
       Check::kPointNotOnCurve},
      {"another device's key",
       [&](LoginProof& p, LoginProofPolicy&) { p.publicKey = stranger.blob; },
       Check::kSignatureMismatch},
      {"signature r flipped", [](LoginProof& p, LoginProofPolicy&) { p.signature[0] ^= 1; },
       Check::kSignatureMismatch},
      {"signature s flipped", [](LoginProof& p, LoginProofPolicy&) { p.signature[40] ^= 1; },
       Check::kSignatureMismatch},
      {"signature 63 bytes", [](LoginProof& p, LoginProofPolicy&) { p.signature.pop_back(); },
       Check::kWrongLength},
      {"signature zero", [](LoginProof& p, LoginProofPolicy&) { p.signature.assign(64, 0); },
       Check::kSignatureOutOfRange},
      // The server's own requirements.
      {"enrolled key differs",
       [&](LoginProof&, LoginProofPolicy& policy) { policy.knownPublicKeys = {stranger.blob}; },
       Check::kUnknownDeviceKey},
      {"pinned to build 61",
       [](LoginProof&, LoginProofPolicy& policy) { policy.expectedClientBuild = 61; },
       Check::kClientBuildMismatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SignedLoginProof fixture = MakeSignedLoginProof();
    LoginProofPolicy policy;
    c.mutate(fixture.proof, policy);
    EXPECT_EQ(VerifyLoginProof(fixture.proof, policy).check, c.expected);
  }
}

// An account enrols one key per provider the guard may sign with: the
// proof passes when any of them signed it.
TEST(VerifyLoginProof, AcceptsAnyOfTheEnrolledKeysAndThePinnedBuild) {
  const SignedLoginProof fixture = MakeSignedLoginProof();
  const testing::TestDeviceKey other = testing::MakeTestDeviceKey();
  struct Case {
    const char* name;
    std::vector<Raw> enrolled;
    Check expected;
  };
  const Case cases[] = {
      {"only this key", {fixture.device.blob}, Check::kOk},
      {"platform key first, then this", {other.blob, fixture.device.blob}, Check::kOk},
      {"only the other key", {other.blob}, Check::kUnknownDeviceKey},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoginProofPolicy policy;
    policy.knownPublicKeys = c.enrolled;
    policy.expectedClientBuild = 62;
    EXPECT_EQ(VerifyLoginProof(fixture.proof, policy).check, c.expected);
  }
}

// The newest build comes from the server's policy: a guard of build 63 is
// refused by default and accepted once the server has moved on to it.
TEST(VerifyLoginProof, TakesTheNewestClientBuildFromThePolicy) {
  const SignedLoginProof newer = MakeSignedLoginProof({63, 63, 2, "alice"});
  struct Case {
    const char* name;
    std::uint32_t newest;
    Check expected;
  };
  const Case cases[] = {
      {"default newest 62", kNewestClientBuild, Check::kChallengeBuildOutOfRange},
      {"newest 63", 63, Check::kOk},
      {"newest 64", 64, Check::kOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoginProofPolicy policy;
    policy.newestClientBuild = c.newest;
    EXPECT_EQ(VerifyLoginProof(newer.proof, policy).check, c.expected);
  }
  LoginProofPolicy policy;
  policy.newestClientBuild = 63;
  SignedLoginProof older = MakeSignedLoginProof({62, 64, 2, "alice"});
  EXPECT_EQ(VerifyLoginProof(older.proof, policy).check, Check::kClientBuildOutOfRange);
}

}  // namespace
}  // namespace zarnel::serverkit
