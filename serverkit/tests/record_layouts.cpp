#include "record_layouts.h"

#include <gtest/gtest.h>

namespace zarnel::serverkit::testing {

Raw LayLoginProofRecord(const LoginRecordFields& f) {
  Raw nameField(32, 0);
  std::copy(f.loginName.begin(), f.loginName.end(), nameField.begin());
  ByteLayout layout;
  layout.Ascii("ZARNEL-GUARD-PROOF-V2")
      .U8(0x00)
      .U8(0x02)
      .U32Be(f.challengeBuild)
      .U32Be(f.clientBuild)
      .Field(f.challengeId)
      .Field(f.challengeNonce)
      .U8(f.keyKind)
      .U8(static_cast<std::uint8_t>(f.loginName.size()))
      .Field(nameField)
      .Field(f.machineDigest)
      .Field(f.publicKey);
  EXPECT_EQ(layout.bytes.size(), 217u);
  return layout.bytes;
}

Raw LayHardCheatRecord(const HardCheatFields& f) {
  ByteLayout layout;
  layout.Ascii("ZARNEL-GUARD-HARD-CHEAT-V1")
      .U8(0x00)
      .U8(0x01)
      .U32Be(f.challengeBuild)
      .U32Be(f.clientBuild)
      .U8(f.keyKind)
      .U16Be(f.violation)
      .Field(f.reportId)
      .Field(f.challengeId)
      .Field(f.challengeNonce)
      .Field(f.evidenceDigest)
      .Field(f.publicKey);
  EXPECT_EQ(layout.bytes.size(), 207u);
  return layout.bytes;
}

Raw LayHardCheatReport(const HardCheatFields& f, const Raw& signature) {
  ByteLayout layout;
  layout.U16Le(1)
      .U16Le(f.clientBuild)
      .U16Le(0)
      .U8(f.keyKind)
      .U16Le(f.violation)
      .Field(f.reportId)
      .Field(f.challengeId)
      .Field(f.challengeNonce)
      .Field(f.evidenceDigest)
      .Field(f.publicKey)
      .Field(signature);
  EXPECT_EQ(layout.bytes.size(), 241u);
  return layout.bytes;
}

}  // namespace zarnel::serverkit::testing
