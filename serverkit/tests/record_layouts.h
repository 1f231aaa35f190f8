// The guard's records laid out by hand in the tests, field by field in
// the order of their offset tables, independent of the kit's builders.
#pragma once

#include <string>

#include "test_support.h"

namespace zarnel::serverkit::testing {

struct LoginRecordFields {
  std::uint32_t challengeBuild = 62;
  std::uint32_t clientBuild = 62;
  Raw challengeId = Pattern(16, 0x10);
  Raw challengeNonce = Pattern(32, 0x40);
  std::uint8_t keyKind = 2;
  std::string loginName = "alice";
  Raw machineDigest = Pattern(32, 0x90);
  Raw publicKey;
};

// 217 bytes, "ZARNEL-GUARD-PROOF-V2".
Raw LayLoginProofRecord(const LoginRecordFields& fields);

struct HardCheatFields {
  std::uint32_t challengeBuild = 62;  // in the signed record only
  std::uint16_t clientBuild = 62;
  std::uint8_t keyKind = 2;
  std::uint16_t violation = 1;
  Raw reportId = Pattern(16, 0x21);
  Raw challengeId = Pattern(16, 0x31);
  Raw challengeNonce = Pattern(32, 0x51);
  Raw evidenceDigest;
  Raw publicKey;
};

// 207 bytes, "ZARNEL-GUARD-HARD-CHEAT-V1", big-endian integers.
Raw LayHardCheatRecord(const HardCheatFields& fields);

// 241 bytes, little-endian header, ending in the 64-byte signature.
Raw LayHardCheatReport(const HardCheatFields& fields, const Raw& signature);

}  // namespace zarnel::serverkit::testing
