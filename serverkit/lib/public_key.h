// The device public key as the guard exports it: the 72-byte CNG
// "ECCPUBLICBLOB" of a P-256 key, and the key kind that says which Windows
// provider holds the private half.
#pragma once

#include <cstdint>
#include <vector>

#include "bytes.h"
#include "ossl_ptr.h"
#include "verdict.h"

namespace zarnel::serverkit {

constexpr std::size_t kPublicKeyBlobSize = 72;
constexpr std::uint32_t kEcdsaP256PublicMagic = 0x31534345;  // "ECS1"
constexpr std::uint32_t kP256CoordinateSize = 32;

constexpr std::uint32_t kKeyKindPlatform = 1;  // TPM-backed provider
constexpr std::uint32_t kKeyKindSoftware = 2;

Verdict CheckKeyKind(std::uint32_t keyKind);

// Checks length, magic, key length and that (X, Y) is a point of P-256,
// then hands back a key ready for verification.
Verdict ParsePublicKeyBlob(const Bytes& blob, EvpPkeyPtr& key);

// True when `enrolled` is empty (no key enrolled: any key) or holds `blob`.
bool IsEnrolledKey(const std::vector<Bytes>& enrolled, const Bytes& blob);

}  // namespace zarnel::serverkit
