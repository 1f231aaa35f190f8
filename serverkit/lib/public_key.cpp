#include "public_key.h"

#include <cstring>
#include <string>
#include <utility>

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>
#include <openssl/params.h>

#include "internal/crypto_failure.h"
#include "p256_group.h"

namespace zarnel::serverkit {

namespace {

constexpr std::size_t kMagicOffset = 0;
constexpr std::size_t kKeyLengthOffset = 4;
constexpr std::size_t kXOffset = 8;
constexpr std::size_t kYOffset = kXOffset + kP256CoordinateSize;
constexpr std::size_t kUncompressedPointSize = 1 + 2 * kP256CoordinateSize;

// A coordinate at or above the field prime would be reduced by some code
// paths and so alias a valid point; the guard never exports one.
// Both are 32 big-endian bytes, so their bytes compare as their values do.
bool BelowFieldPrime(const unsigned char* coordinate) {
  static const unsigned char kFieldPrime[kP256CoordinateSize] = {
      0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
      0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff};
  return std::memcmp(coordinate, kFieldPrime, kP256CoordinateSize) < 0;
}

Verdict CheckPointOnCurve(const Bytes& blob) {
  if (!BelowFieldPrime(blob.data() + kXOffset) || !BelowFieldPrime(blob.data() + kYOffset)) {
    return Reject(Check::kPointNotOnCurve, "public key coordinate is not below the field prime");
  }
  const EC_GROUP* group = P256Group();
  BnCtxPtr ctx(BN_CTX_new());
  BignumPtr x(BN_bin2bn(blob.data() + kXOffset, kP256CoordinateSize, nullptr));
  BignumPtr y(BN_bin2bn(blob.data() + kYOffset, kP256CoordinateSize, nullptr));
  if (!group || !ctx || !x || !y) return CryptoFailure("out of memory");
  EcPointPtr point(EC_POINT_new(group));
  if (!point) return CryptoFailure("out of memory");
  // Recent libcrypto refuses off-curve coordinates here already; the
  // explicit test keeps the rejection independent of that.
  if (EC_POINT_set_affine_coordinates(group, point.get(), x.get(), y.get(), ctx.get()) !=
          1 ||
      EC_POINT_is_on_curve(group, point.get(), ctx.get()) != 1) {
    ERR_clear_error();
    return Reject(Check::kPointNotOnCurve, "public key is not a point on P-256");
  }
  return Accept();
}

// The point goes into a copy of the domain's parameter key: the same key
// as an import by the group's name, without building the group again.
Verdict ImportKey(const Bytes& blob, EvpPkeyPtr& key) {
  unsigned char point[kUncompressedPointSize];
  point[0] = 0x04;
  for (std::size_t i = 0; i < 2 * kP256CoordinateSize; ++i) point[1 + i] = blob[kXOffset + i];
  EVP_PKEY* parameters = P256ParameterKey();
  EvpPkeyPtr imported(parameters ? EVP_PKEY_dup(parameters) : nullptr);
  if (!imported) return CryptoFailure("cannot set up the EC key import");
  if (EVP_PKEY_set1_encoded_public_key(imported.get(), point, sizeof point) != 1) {
    ERR_clear_error();
    return Reject(Check::kPointNotOnCurve, "libcrypto refused the public key point");
  }
  key = std::move(imported);
  return Accept();
}

}  // namespace

Verdict CheckKeyKind(std::uint32_t keyKind) {
  if (keyKind != kKeyKindPlatform && keyKind != kKeyKindSoftware) {
    return Reject(Check::kKeyKindInvalid,
                  "key kind " + std::to_string(keyKind) + " is neither 1 nor 2");
  }
  return Accept();
}

Verdict ParsePublicKeyBlob(const Bytes& blob, EvpPkeyPtr& key) {
  key.reset();
  if (blob.size() != kPublicKeyBlobSize) {
    return Reject(Check::kWrongLength, "public key must be 72 bytes, got " +
                                           std::to_string(blob.size()));
  }
  if (ReadU32Le(blob.data() + kMagicOffset) != kEcdsaP256PublicMagic) {
    return Reject(Check::kBadKeyMagic, "public key blob magic is not ECS1 (0x31534345)");
  }
  const std::uint32_t keyLength = ReadU32Le(blob.data() + kKeyLengthOffset);
  if (keyLength != kP256CoordinateSize) {
    return Reject(Check::kBadKeyLength,
                  "public key blob key length is " + std::to_string(keyLength) + ", not 32");
  }
  Verdict onCurve = CheckPointOnCurve(blob);
  if (!onCurve.ok()) return onCurve;
  return ImportKey(blob, key);
}

bool IsEnrolledKey(const std::vector<Bytes>& enrolled, const Bytes& blob) {
  if (enrolled.empty()) return true;
  for (const Bytes& key : enrolled) {
    if (key == blob) return true;
  }
  return false;
}

}  // namespace zarnel::serverkit
