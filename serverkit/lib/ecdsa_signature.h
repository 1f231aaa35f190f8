// The device signature: ECDSA P-256 over the SHA-256 digest of a whole
// record, 64 bytes r then s, each big-endian, as CNG returns it.
#pragma once

#include <openssl/evp.h>

#include "bytes.h"
#include "verdict.h"

namespace zarnel::serverkit {

constexpr std::size_t kSignatureSize = 64;

Verdict VerifyRecordSignature(EVP_PKEY* key, const Bytes& record, const Bytes& signature);

}  // namespace zarnel::serverkit
