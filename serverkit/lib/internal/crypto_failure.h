// The verdict for a libcrypto call that failed for its own reasons (memory,
// a provider), not because of the record: nothing is accepted on it.
#pragma once

#include "verdict.h"

namespace zarnel::serverkit {

// Clears OpenSSL's error queue, so that the failure cannot surface later
// in an unrelated call of the same thread.
Verdict CryptoFailure(const char* what);

}  // namespace zarnel::serverkit
