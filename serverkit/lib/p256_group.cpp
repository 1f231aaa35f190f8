#include "p256_group.h"

#include <openssl/obj_mac.h>

#include "ossl_ptr.h"

namespace zarnel::serverkit {

const EC_GROUP* P256Group() {
  static const EcGroupPtr group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
  return group.get();
}

}  // namespace zarnel::serverkit
