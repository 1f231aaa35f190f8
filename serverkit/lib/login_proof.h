// Verification of the login proof: the server rebuilds the 217-byte
// "ZARNEL-GUARD-PROOF-V2" record from the challenge it issued, the name it
// expects and the five values the client returned, and checks the device
// signature over it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bytes.h"
#include "challenge.h"
#include "verdict.h"

namespace zarnel::serverkit {

constexpr std::size_t kLoginProofRecordSize = 217;
constexpr std::size_t kMachineDigestSize = 32;

struct LoginProof {
  Challenge challenge;    // as issued by the server, not as echoed by the client
  std::string loginName;  // as the server expects it; folded before use
  // What the client returned. Wider than on the wire so that an
  // out-of-range value is rejected by name rather than truncated.
  std::uint32_t clientBuild = 0;
  std::uint32_t keyKind = 0;
  Bytes machineDigest;
  Bytes publicKey;
  Bytes signature;
};

struct LoginProofPolicy {
  // The account's enrolled device keys; empty accepts any key. An account
  // holds more than one: the guard falls back from the platform provider to
  // the software one when the TPM fails, and goes back later.
  std::vector<Bytes> knownPublicKeys;
  std::optional<std::uint32_t> expectedClientBuild;
  std::uint32_t newestClientBuild = kNewestClientBuild;
};

// Lays out the record from values that already passed their checks.
Bytes BuildLoginProofRecord(const Challenge& challenge, std::uint32_t clientBuild,
                            std::uint8_t keyKind, const std::string& foldedName,
                            const Bytes& machineDigest, const Bytes& publicKey);

Verdict VerifyLoginProof(const LoginProof& proof, const LoginProofPolicy& policy = {});

}  // namespace zarnel::serverkit
