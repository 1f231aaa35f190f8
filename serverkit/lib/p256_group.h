// The P-256 group, built once per process: building it costs more than the
// checks that use it. libcrypto only reads a group once built, so threads
// share it.
#pragma once

#include <openssl/ec.h>

namespace zarnel::serverkit {

// Null only when libcrypto cannot build the group at all.
const EC_GROUP* P256Group();

}  // namespace zarnel::serverkit
