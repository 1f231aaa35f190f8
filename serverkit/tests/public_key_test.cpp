#include <gtest/gtest.h>

#include "public_key.h"
#include "test_support.h"

namespace zarnel::serverkit {
namespace {

using testing::MakeTestDeviceKey;
using testing::Raw;

void SetY(Raw& blob, const Raw& y) { std::copy(y.begin(), y.end(), blob.begin() + 40); }
void SetX(Raw& blob, const Raw& x) { std::copy(x.begin(), x.end(), blob.begin() + 8); }

TEST(ParsePublicKeyBlob, AcceptsAnExportedKeyAndItsNegation) {
  const testing::TestDeviceKey device = MakeTestDeviceKey();
  EvpPkeyPtr key;
  ASSERT_TRUE(ParsePublicKeyBlob(device.blob, key).ok());
  EXPECT_NE(key, nullptr);

  // (X, p - Y) is the other point with the same X; a checker that only
  // looks at X or mishandles the sign would still pass, but one that
  // compares against a stored Y would not.
  Raw negated = device.blob;
  SetY(negated, testing::SubtractMod(Raw(32, 0), testing::Slice(device.blob, 40, 32),
                                     testing::P256FieldPrime()));
  EXPECT_TRUE(ParsePublicKeyBlob(negated, key).ok());
}

TEST(ParsePublicKeyBlob, NamesEachMalformation) {
  const testing::TestDeviceKey device = MakeTestDeviceKey();
  const Raw y = testing::Slice(device.blob, 40, 32);
  struct Case {
    const char* name;
    std::function<void(Raw&)> mutate;
    Check expected;
  };
  const Case cases[] = {
      {"X aliasing a point above the field prime",
       [](Raw& b) { b = testing::BlobWithXAboveFieldPrime(); }, Check::kPointNotOnCurve},
      {"71 bytes", [](Raw& b) { b.pop_back(); }, Check::kWrongLength},
      {"73 bytes", [](Raw& b) { b.push_back(0); }, Check::kWrongLength},
      {"empty", [](Raw& b) { b.clear(); }, Check::kWrongLength},
      {"magic ECS2 (private blob of P-256)", [](Raw& b) { b[3] = 0x32; }, Check::kBadKeyMagic},
      {"magic read big-endian", [](Raw& b) { std::reverse(b.begin(), b.begin() + 4); },
       Check::kBadKeyMagic},
      {"key length 48 (P-384)", [](Raw& b) { b[4] = 48; }, Check::kBadKeyLength},
      {"key length big-endian", [](Raw& b) { std::reverse(b.begin() + 4, b.begin() + 8); },
       Check::kBadKeyLength},
      {"Y plus one", [&](Raw& b) {
         Raw bumped = y;
         for (int i = 31; i >= 0 && ++bumped[i] == 0; --i) {}
         SetY(b, bumped);
       }, Check::kPointNotOnCurve},
      {"X equal to the field prime", [](Raw& b) { SetX(b, testing::P256FieldPrime()); },
       Check::kPointNotOnCurve},
      {"Y above the field prime", [&](Raw& b) { SetY(b, Raw(32, 0xFF)); },
       Check::kPointNotOnCurve},
      {"all-zero coordinates", [](Raw& b) { std::fill(b.begin() + 8, b.end(), 0); },
       Check::kPointNotOnCurve},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Raw blob = device.blob;
    c.mutate(blob);
    EvpPkeyPtr key;
    EXPECT_EQ(ParsePublicKeyBlob(blob, key).check, c.expected);
    EXPECT_EQ(key, nullptr);
  }
}

TEST(CheckKeyKind, OnlyPlatformAndSoftwareProviders) {
  EXPECT_TRUE(CheckKeyKind(1).ok());
  EXPECT_TRUE(CheckKeyKind(2).ok());
  for (std::uint32_t kind : {0u, 3u, 255u, 257u}) {
    EXPECT_EQ(CheckKeyKind(kind).check, Check::kKeyKindInvalid) << kind;
  }
}

}  // namespace
}  // namespace zarnel::serverkit
