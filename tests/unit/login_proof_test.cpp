// The login proof: challenge and name validation, and the signed record
// rebuilt byte by byte and verified with bcrypt against the returned key.
#include <gtest/gtest.h>
#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "proofs/device_key_store.h"
#include "proofs/login_proof.h"
#include "standin_ksp_fixture.h"
#include "test_support.h"

namespace {
const wchar_t kRejected[] = L"ZarnelGuard rejected an invalid login challenge.";
const wchar_t kCannotSign[] = L"ZarnelGuard could not sign the login challenge.";

struct Challenge {
  uint16_t version = 2;
  uint32_t build = 62;
  uint8_t id[16];
  uint8_t nonce[32];
  uint8_t name[32] = {};
  uint8_t nameLength = 0;

  Challenge() {
    for (int i = 0; i < 16; ++i) id[i] = static_cast<uint8_t>(0x10 + i);
    for (int i = 0; i < 32; ++i) nonce[i] = static_cast<uint8_t>(0x80 + i);
    SetName("player.one");
  }
  void SetName(const std::string& text) {
    std::memset(name, 0, sizeof(name));
    std::memcpy(name, text.data(), text.size() > 32 ? 32 : text.size());
    nameLength = static_cast<uint8_t>(text.size());
  }
};

struct Outputs {
  uint32_t build = 0xAAAAAAAA;
  uint8_t kind = 0xAA;
  uint8_t digest[32], publicKey[72], signature[64];
  Outputs() {
    std::memset(digest, 0xAA, sizeof(digest));
    std::memset(publicKey, 0xAA, sizeof(publicKey));
    std::memset(signature, 0xAA, sizeof(signature));
  }
};

bool Build(const Challenge& c, Outputs& o) {
  return BuildLoginProof(c.version, c.build, c.id, c.nonce, c.name, c.nameLength, &o.build, &o.kind, o.digest,
                         o.publicKey, o.signature);
}

struct ValidationCase {
  const char* name;
  void (*mutate)(Challenge&);
  bool passesValidation;
};

const ValidationCase kValidationCases[] = {
    {"as_issued", [](Challenge&) {}, true},
    {"version_1", [](Challenge& c) { c.version = 1; }, false},
    {"build_0", [](Challenge& c) { c.build = 0; }, false},
    {"build_1", [](Challenge& c) { c.build = 1; }, true},
    {"build_63", [](Challenge& c) { c.build = 63; }, false},
    {"id_all_zero", [](Challenge& c) { std::memset(c.id, 0, 16); }, false},
    {"id_one_nonzero_byte", [](Challenge& c) { std::memset(c.id, 0, 16); c.id[15] = 1; }, true},
    {"nonce_all_zero", [](Challenge& c) { std::memset(c.nonce, 0, 32); }, false},
    {"name_length_0", [](Challenge& c) { c.nameLength = 0; }, false},
    {"name_length_32", [](Challenge& c) { c.SetName(std::string(32, 'z')); }, true},
    {"name_length_33", [](Challenge& c) { c.SetName(std::string(32, 'z')); c.nameLength = 33; }, false},
    {"name_with_space", [](Challenge& c) { c.SetName("player one"); }, false},
    {"name_with_del", [](Challenge& c) { c.SetName("player\x7f"); }, false},
    {"name_upper_case", [](Challenge& c) { c.SetName("Player"); }, false},
    {"name_punctuation", [](Challenge& c) { c.SetName("!~a-z_0.9@#"); }, true},
    {"byte_after_name", [](Challenge& c) { c.name[c.nameLength + 1] = 'x'; }, false},
};

class LoginChallengeValidation : public testing::TestWithParam<ValidationCase> {};

// No device key is published here, so a challenge that passes validation
// stops at signing: the two messages tell the outcomes apart.
TEST_P(LoginChallengeValidation, RejectsOnlyWhatTheRulesForbid) {
  std::memset(guard.machineIdentityDigest, 0x5C, 32);
  Challenge c;
  GetParam().mutate(c);
  Outputs o;
  EXPECT_FALSE(Build(c, o));
  EXPECT_STREQ(guard.lastErrorText, GetParam().passesValidation ? kCannotSign : kRejected);
}

INSTANTIATE_TEST_SUITE_P(Table, LoginChallengeValidation, testing::ValuesIn(kValidationCases),
                         [](const testing::TestParamInfo<ValidationCase>& i) { return std::string(i.param.name); });

TEST(LoginProof, NoMachineIdentityIsAnInvalidChallenge) {
  Challenge c;
  Outputs o;
  EXPECT_FALSE(Build(c, o));
  EXPECT_STREQ(guard.lastErrorText, kRejected);
}

TEST(LoginProof, ASigningFailureZeroesTheKeyDigestAndSignatureOutputs) {
  std::memset(guard.machineIdentityDigest, 0x5C, 32);
  Challenge c;
  Outputs o;
  EXPECT_FALSE(Build(c, o));
  for (uint8_t b : o.digest) ASSERT_EQ(b, 0);
  for (uint8_t b : o.publicKey) ASSERT_EQ(b, 0);
  for (uint8_t b : o.signature) ASSERT_EQ(b, 0);
}

// The record as the server rebuilds it, laid out here independently.
std::vector<uint8_t> ExpectedRecord(const Challenge& c, uint8_t kind, const uint8_t* machine, const uint8_t* key) {
  std::vector<uint8_t> r;
  const char magic[] = "ZARNEL-GUARD-PROOF-V2";
  r.insert(r.end(), magic, magic + 21);
  r.push_back(0x00);
  r.push_back(0x02);
  for (int shift : {24, 16, 8, 0}) r.push_back(static_cast<uint8_t>(c.build >> shift));
  for (uint8_t b : {0x00, 0x00, 0x00, 0x3E}) r.push_back(b);
  r.insert(r.end(), c.id, c.id + 16);
  r.insert(r.end(), c.nonce, c.nonce + 32);
  r.push_back(kind);
  r.push_back(c.nameLength);
  r.insert(r.end(), c.name, c.name + 32);
  r.insert(r.end(), machine, machine + 32);
  r.insert(r.end(), key, key + 72);
  return r;
}

bool VerifyWithBcrypt(const uint8_t* publicKey, const std::vector<uint8_t>& record, const uint8_t* signature) {
  BCRYPT_ALG_HANDLE ecdsa = nullptr, sha = nullptr;
  BCRYPT_KEY_HANDLE key = nullptr;
  uint8_t digest[32];
  bool ok = BCryptOpenAlgorithmProvider(&sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
            BCryptHash(sha, nullptr, 0, const_cast<uint8_t*>(record.data()), static_cast<ULONG>(record.size()),
                       digest, 32) == 0 &&
            BCryptOpenAlgorithmProvider(&ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) == 0 &&
            BCryptImportKeyPair(ecdsa, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, const_cast<uint8_t*>(publicKey), 72, 0) ==
                0 &&
            BCryptVerifySignature(key, nullptr, digest, 32, const_cast<uint8_t*>(signature), 64, 0) == 0;
  if (key) BCryptDestroyKey(key);
  if (ecdsa) BCryptCloseAlgorithmProvider(ecdsa, 0);
  if (sha) BCryptCloseAlgorithmProvider(sha, 0);
  return ok;
}

class SignedLoginProof : public StandInKspTest {};

TEST_F(SignedLoginProof, SignsTheRecordTheServerRebuilds) {
  ASSERT_TRUE(AcquireDeviceKey());
  for (int i = 0; i < 32; ++i) guard.machineIdentityDigest[i] = static_cast<uint8_t>(i * 7 + 1);
  Challenge c;
  c.build = 5;
  Outputs o;
  ASSERT_TRUE(Build(c, o)) << std::wstring(guard.lastErrorText).c_str();
  EXPECT_EQ(o.build, 62u);
  EXPECT_TRUE(o.kind == 1 || o.kind == 2);
  EXPECT_EQ(std::memcmp(o.digest, guard.machineIdentityDigest, 32), 0);
  std::vector<uint8_t> record = ExpectedRecord(c, o.kind, o.digest, o.publicKey);
  ASSERT_EQ(record.size(), kLoginProofRecordSize);
  EXPECT_EQ(ToHex(record.data() + 21, 10), "00020000000500000" "03e");
  EXPECT_TRUE(VerifyWithBcrypt(o.publicKey, record, o.signature));

  record[80] ^= 1;  // any other record must not verify
  EXPECT_FALSE(VerifyWithBcrypt(o.publicKey, record, o.signature));
  ReleaseDeviceKey();
}
}  // namespace
