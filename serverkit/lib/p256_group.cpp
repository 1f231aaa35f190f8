#include "p256_group.h"

#include <openssl/core_names.h>
#include <openssl/obj_mac.h>
#include <openssl/params.h>

#include "ossl_ptr.h"

namespace zarnel::serverkit {

const EC_GROUP* P256Group() {
  static const EcGroupPtr group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  return group.get();
}

namespace {

EVP_PKEY* BuildParameterKey() {
  char groupName[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, groupName, 0),
      OSSL_PARAM_construct_end(),
  };
  EvpPkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, EVP_PKEY_KEY_PARAMETERS, params) != 1) {
    return nullptr;
  }
  return key;
}

}  // namespace

EVP_PKEY* P256ParameterKey() {
  static const EvpPkeyPtr key(BuildParameterKey());
  return key.get();
}

}  // namespace zarnel::serverkit
