#include "ecdsa_signature.h"

#include <string>

#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>

#include "internal/crypto_failure.h"
#include "ossl_ptr.h"
#include "p256_group.h"
#include "sha256.h"

namespace zarnel::serverkit {

namespace {

constexpr std::size_t kScalarSize = kSignatureSize / 2;

bool ScalarInRange(const BIGNUM* value, const BIGNUM* order) {
  return !BN_is_zero(value) && BN_cmp(value, order) < 0;
}

// libcrypto verifies DER only; the raw halves go through ECDSA_SIG so
// that a high bit or leading zero bytes get the right INTEGER encoding.
Verdict ToDer(const Bytes& signature, Bytes& der) {
  const EC_GROUP* group = P256Group();
  BignumPtr r(BN_bin2bn(signature.data(), kScalarSize, nullptr));
  BignumPtr s(BN_bin2bn(signature.data() + kScalarSize, kScalarSize, nullptr));
  if (!group || !r || !s) return CryptoFailure("out of memory");
  const BIGNUM* order = EC_GROUP_get0_order(group);
  if (!ScalarInRange(r.get(), order) || !ScalarInRange(s.get(), order)) {
    return Reject(Check::kSignatureOutOfRange, "signature r or s is zero or not below the order");
  }
  EcdsaSigPtr sig(ECDSA_SIG_new());
  if (!sig || ECDSA_SIG_set0(sig.get(), r.get(), s.get()) != 1) {
    return CryptoFailure("cannot assemble the signature");
  }
  r.release();  // now owned by sig
  s.release();
  const int size = i2d_ECDSA_SIG(sig.get(), nullptr);
  if (size <= 0) return CryptoFailure("cannot encode the signature");
  der.assign(static_cast<std::size_t>(size), 0);
  unsigned char* cursor = der.data();
  if (i2d_ECDSA_SIG(sig.get(), &cursor) != size) return CryptoFailure("cannot encode the signature");
  return Accept();
}

}  // namespace

Verdict VerifyRecordSignature(EVP_PKEY* key, const Bytes& record, const Bytes& signature) {
  if (signature.size() != kSignatureSize) {
    return Reject(Check::kWrongLength, "signature must be 64 bytes, got " +
                                           std::to_string(signature.size()));
  }
  Bytes der;
  Verdict encoded = ToDer(signature, der);
  if (!encoded.ok()) return encoded;
  Bytes digest;
  if (!Sha256(record.data(), record.size(), digest)) return CryptoFailure("SHA-256 failed");

  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new(key, nullptr));
  if (!ctx || EVP_PKEY_verify_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()) != 1) {
    return CryptoFailure("cannot set up ECDSA verification");
  }
  const int result =
      EVP_PKEY_verify(ctx.get(), der.data(), der.size(), digest.data(), digest.size());
  if (result != 1) {
    ERR_clear_error();
    return Reject(Check::kSignatureMismatch, "signature does not match the rebuilt record");
  }
  return Accept();
}

}  // namespace zarnel::serverkit
