#include "internal/crypto_failure.h"

#include <openssl/err.h>

namespace zarnel::serverkit {

Verdict CryptoFailure(const char* what) {
  ERR_clear_error();
  return Reject(Check::kCryptoFailure, what);
}

}  // namespace zarnel::serverkit
