#include <gtest/gtest.h>

#include "ecdsa_signature.h"
#include "public_key.h"
#include "test_support.h"

namespace zarnel::serverkit {
namespace {

using testing::Raw;

class RecordSignatureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device_ = testing::MakeTestDeviceKey();
    ASSERT_TRUE(ParsePublicKeyBlob(device_.blob, key_).ok());
  }

  Check Verify(const Raw& signature) {
    return VerifyRecordSignature(key_.get(), record_, signature).check;
  }

  testing::TestDeviceKey device_;
  EvpPkeyPtr key_;
  const Raw record_ = testing::Pattern(217, 9);
};

// r and s are fixed-width on the wire but minimal INTEGERs in DER: a set
// high bit needs a 0x00 pad and a leading zero byte must be dropped.
TEST_F(RecordSignatureTest, AcceptsEveryScalarShape) {
  struct Case {
    const char* name;
    bool (*wanted)(const Raw&);
    int maxTries;
  };
  const Case cases[] = {
      {"r high bit", [](const Raw& s) { return (s[0] & 0x80) != 0; }, 200},
      {"s high bit", [](const Raw& s) { return (s[32] & 0x80) != 0; }, 200},
      {"r and s high bit", [](const Raw& s) { return (s[0] & s[32] & 0x80) != 0; }, 400},
      {"r leading zero byte", [](const Raw& s) { return s[0] == 0; }, 20000},
      {"s leading zero byte", [](const Raw& s) { return s[32] == 0; }, 20000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Raw signature = testing::SignRecordUntil(device_, record_, c.wanted, c.maxTries);
    ASSERT_EQ(signature.size(), 64u);
    EXPECT_EQ(Verify(signature), Check::kOk);
  }
}

// CNG does not normalise s, so both s and n - s come from real devices.
TEST_F(RecordSignatureTest, AcceptsHighAndLowS) {
  Raw signature = testing::SignRecord(device_, record_);
  ASSERT_EQ(Verify(signature), Check::kOk);
  const Raw negatedS = testing::SubtractMod(Raw(32, 0), testing::Slice(signature, 32, 32),
                                            testing::P256Order());
  std::copy(negatedS.begin(), negatedS.end(), signature.begin() + 32);
  EXPECT_EQ(Verify(signature), Check::kOk);
}

TEST_F(RecordSignatureTest, NamesEachRejection) {
  const Raw good = testing::SignRecord(device_, record_);
  const Raw order = testing::P256Order();
  struct Case {
    const char* name;
    std::function<void(Raw&)> mutate;
    Check expected;
  };
  const Case cases[] = {
      {"63 bytes", [](Raw& s) { s.pop_back(); }, Check::kWrongLength},
      {"65 bytes", [](Raw& s) { s.push_back(0); }, Check::kWrongLength},
      {"DER instead of raw", [](Raw& s) { s.insert(s.begin(), {0x30, 0x44}); },
       Check::kWrongLength},
      {"r flipped", [](Raw& s) { s[5] ^= 0x01; }, Check::kSignatureMismatch},
      {"s flipped", [](Raw& s) { s[63] ^= 0x80; }, Check::kSignatureMismatch},
      {"r and s swapped", [](Raw& s) { std::rotate(s.begin(), s.begin() + 32, s.end()); },
       Check::kSignatureMismatch},
      {"r zero", [](Raw& s) { std::fill(s.begin(), s.begin() + 32, 0); },
       Check::kSignatureOutOfRange},
      {"s zero", [](Raw& s) { std::fill(s.begin() + 32, s.end(), 0); },
       Check::kSignatureOutOfRange},
      {"r equal to the order", [&](Raw& s) { std::copy(order.begin(), order.end(), s.begin()); },
       Check::kSignatureOutOfRange},
      {"s all ones", [](Raw& s) { std::fill(s.begin() + 32, s.end(), 0xFF); },
       Check::kSignatureOutOfRange},
      {"all zero", [](Raw& s) { std::fill(s.begin(), s.end(), 0); },
       Check::kSignatureOutOfRange},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Raw signature = good;
    c.mutate(signature);
    EXPECT_EQ(Verify(signature), c.expected);
  }
}

TEST_F(RecordSignatureTest, RejectsAnotherRecordOrKey) {
  const Raw signature = testing::SignRecord(device_, record_);
  Raw other = record_;
  other.back() ^= 1;
  EXPECT_EQ(VerifyRecordSignature(key_.get(), other, signature).check, Check::kSignatureMismatch);

  const testing::TestDeviceKey stranger = testing::MakeTestDeviceKey();
  EvpPkeyPtr strangerKey;
  ASSERT_TRUE(ParsePublicKeyBlob(stranger.blob, strangerKey).ok());
  EXPECT_EQ(VerifyRecordSignature(strangerKey.get(), record_, signature).check,
            Check::kSignatureMismatch);
}

}  // namespace
}  // namespace zarnel::serverkit
