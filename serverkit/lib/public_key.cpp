#include "public_key.h"

#include <string>

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
Verdict CheckPointOnCurve(const Bytes& blob) {
  const EC_GROUP* group = P256Group();
  BnCtxPtr ctx(BN_CTX_new());
  BignumPtr p(BN_new());
  BignumPtr x(BN_bin2bn(blob.data() + kXOffset, kP256CoordinateSize, nullptr));
  BignumPtr y(BN_bin2bn(blob.data() + kYOffset, kP256CoordinateSize, nullptr));
  if (!group || !ctx || !p || !x || !y) return CryptoFailure("out of memory");
  if (EC_GROUP_get_curve(group, p.get(), nullptr, nullptr, ctx.get()) != 1) {
    return CryptoFailure("cannot read the P-256 field prime");
  }
  if (BN_cmp(x.get(), p.get()) >= 0 || BN_cmp(y.get(), p.get()) >= 0) {
    return Reject(Check::kPointNotOnCurve, "public key coordinate is not below the field prime");
  }
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

Verdict ImportKey(const Bytes& blob, EvpPkeyPtr& key) {
  unsigned char point[kUncompressedPointSize];
  point[0] = 0x04;
  for (std::size_t i = 0; i < 2 * kP256CoordinateSize; ++i) point[1 + i] = blob[kXOffset + i];
  char groupName[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, groupName, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
      OSSL_PARAM_construct_end(),
  };
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1) {
    return CryptoFailure("cannot set up the EC key import");
  }
  EVP_PKEY* imported = nullptr;
  if (EVP_PKEY_fromdata(ctx.get(), &imported, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    ERR_clear_error();
    return Reject(Check::kPointNotOnCurve, "libcrypto refused the public key point");
  }
  key.reset(imported);
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
