#pragma once
// The login proof: the device key's signature over the 217-byte
// "ZARNEL-GUARD-PROOF-V2" record that binds the server's challenge, the
// client build, the login name, the machine identity and the public key.
#include <cstdint>

constexpr uint32_t kLoginProofRecordSize = 217;

// Validates the challenge and the name, then signs under deviceKeyLock.
// The outputs hold zeros on failure (the caller zeroed them); one message.
bool BuildLoginProof(uint16_t proofVersion, uint32_t challengeBuild, const uint8_t* challengeId,
                     const uint8_t* challengeNonce, const uint8_t* loginName, uint8_t loginNameLength,
                     uint32_t* clientBuildOut, uint8_t* keyKindOut, uint8_t* machineDigestOut, uint8_t* publicKeyOut,
                     uint8_t* signatureOut);

// The checks repeated before each login; findings end the process unless a
// confirmed detection is waiting for its report.
void RunPreLoginChecks();

// The name rule: 1 to 32 bytes of 0x21..0x7E without upper-case letters,
// zero fill after the name up to 32 bytes.
bool IsValidLoginName(const uint8_t* loginName, uint8_t loginNameLength);
