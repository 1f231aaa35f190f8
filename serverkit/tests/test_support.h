// Test-side crypto and byte layout, written apart from the kit so that a
// fault in the kit's record builders or key handling cannot cancel out.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/evp.h>

namespace zarnel::serverkit::testing {

using Raw = std::vector<std::uint8_t>;

struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

struct TestDeviceKey {
  std::unique_ptr<EVP_PKEY, PkeyFree> key;
  Raw blob;  // 72-byte ECS1 public key blob
};

TestDeviceKey MakeTestDeviceKey();

// 64-byte r-then-s ECDSA P-256 signature over SHA-256(message).
Raw SignRecord(const TestDeviceKey& key, const Raw& message);

// Signs until `wanted` holds for the raw signature; fails the test after
// `maxTries` signatures.
Raw SignRecordUntil(const TestDeviceKey& key, const Raw& message,
                    const std::function<bool(const Raw&)>& wanted, int maxTries);

Raw Sha256Of(std::string_view bytes);
Raw Sha256Of(const Raw& bytes);

// Curve constants of P-256, big-endian, typed in from the curve's definition.
Raw P256FieldPrime();
Raw P256Order();

// The blob of a P-256 point (x, y) with a small x, but with X written as
// x + p: the same point if the coordinate were reduced, not a valid blob.
Raw BlobWithXAboveFieldPrime();

// (a - b) mod m on 32-byte big-endian values.
Raw SubtractMod(const Raw& a, const Raw& b, const Raw& m);

// A byte sequence whose every byte differs from its neighbours', so that a
// field taken from the wrong offset shows up as a mismatch.
Raw Pattern(std::size_t size, std::uint8_t seed);

Raw Slice(const Raw& bytes, std::size_t offset, std::size_t size);
std::string Hex(const Raw& bytes);
Raw Unhex(std::string_view hex);

// Appends fields one after another, in the order the record lists them.
struct ByteLayout {
  Raw bytes;
  ByteLayout& Ascii(std::string_view text);
  ByteLayout& U8(std::uint8_t value);
  ByteLayout& U16Be(std::uint16_t value);
  ByteLayout& U16Le(std::uint16_t value);
  ByteLayout& U32Be(std::uint32_t value);
  ByteLayout& Field(const Raw& field);
};

}  // namespace zarnel::serverkit::testing
