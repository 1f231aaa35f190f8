// The P-256 group, built once per process: building it costs more than the
// checks that use it. libcrypto only reads a group once built, so threads
// share it.
#pragma once

#include <openssl/ec.h>
#include <openssl/evp.h>

namespace zarnel::serverkit {

// Null only when libcrypto cannot build the group at all.
const EC_GROUP* P256Group();

// An EC key of the P-256 domain without a point, to be copied for each
// key imported: libcrypto builds the group again for every key imported by
// its name, which costs a third of a verification. Threads only copy it.
// Null only when libcrypto cannot build it.
EVP_PKEY* P256ParameterKey();

}  // namespace zarnel::serverkit
