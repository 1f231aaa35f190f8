#pragma once

#include "bytes.h"

namespace zarnel::serverkit {

constexpr std::size_t kSha256Size = 32;

// False only when libcrypto itself fails; `digest` is then empty.
bool Sha256(const std::uint8_t* data, std::size_t size, Bytes& digest);

}  // namespace zarnel::serverkit
