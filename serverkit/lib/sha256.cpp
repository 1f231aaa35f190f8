#include "sha256.h"

#include <openssl/evp.h>

namespace zarnel::serverkit {

bool Sha256(const std::uint8_t* data, std::size_t size, Bytes& digest) {
  digest.assign(kSha256Size, 0);
  unsigned int written = 0;
  if (EVP_Digest(data, size, digest.data(), &written, EVP_sha256(), nullptr) != 1 ||
      written != kSha256Size) {
    digest.clear();
    return false;
  }
  return true;
}

}  // namespace zarnel::serverkit
