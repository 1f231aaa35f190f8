// Owning handles for the OpenSSL objects the kit creates, so that no early
// return on a rejection can leak one.
#pragma once

#include <memory>

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

namespace zarnel::serverkit {

template <typename T, void (*Free)(T*)>
struct OsslFree {
  void operator()(T* object) const { Free(object); }
};

using BignumPtr = std::unique_ptr<BIGNUM, OsslFree<BIGNUM, BN_free>>;
using BnCtxPtr = std::unique_ptr<BN_CTX, OsslFree<BN_CTX, BN_CTX_free>>;
using EcGroupPtr = std::unique_ptr<EC_GROUP, OsslFree<EC_GROUP, EC_GROUP_free>>;
using EcPointPtr = std::unique_ptr<EC_POINT, OsslFree<EC_POINT, EC_POINT_free>>;
using EcdsaSigPtr = std::unique_ptr<ECDSA_SIG, OsslFree<ECDSA_SIG, ECDSA_SIG_free>>;
using EvpPkeyPtr = std::unique_ptr<EVP_PKEY, OsslFree<EVP_PKEY, EVP_PKEY_free>>;
using EvpPkeyCtxPtr =
    std::unique_ptr<EVP_PKEY_CTX, OsslFree<EVP_PKEY_CTX, EVP_PKEY_CTX_free>>;

}  // namespace zarnel::serverkit
