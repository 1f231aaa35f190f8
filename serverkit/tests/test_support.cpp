#include "test_support.h"

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>

namespace zarnel::serverkit::testing {

namespace {

struct BnFree {
  void operator()(BIGNUM* bn) const { BN_free(bn); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;

Raw Coordinate(const EVP_PKEY* key, const char* name) {
  BIGNUM* value = nullptr;
  EXPECT_EQ(EVP_PKEY_get_bn_param(key, name, &value), 1);
  Bn owned(value);
  Raw out(32, 0);
  EXPECT_EQ(BN_bn2binpad(owned.get(), out.data(), 32), 32);
  return out;
}

}  // namespace

TestDeviceKey MakeTestDeviceKey() {
  TestDeviceKey device;
  device.key.reset(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
  EXPECT_NE(device.key, nullptr);
  ByteLayout blob;
  blob.Field({0x45, 0x43, 0x53, 0x31})  // "ECS1", 0x31534345 little-endian
      .Field({0x20, 0x00, 0x00, 0x00})
      .Field(Coordinate(device.key.get(), OSSL_PKEY_PARAM_EC_PUB_X))
      .Field(Coordinate(device.key.get(), OSSL_PKEY_PARAM_EC_PUB_Y));
  device.blob = blob.bytes;
  EXPECT_EQ(device.blob.size(), 72u);
  return device;
}

Raw SignRecord(const TestDeviceKey& key, const Raw& message) {
  const Raw digest = Sha256Of(message);
  std::unique_ptr<EVP_PKEY_CTX, void (*)(EVP_PKEY_CTX*)> ctx(
      EVP_PKEY_CTX_new(key.key.get(), nullptr), EVP_PKEY_CTX_free);
  EXPECT_EQ(EVP_PKEY_sign_init(ctx.get()), 1);
  EXPECT_EQ(EVP_PKEY_CTX_set_signature_md(ctx.get(), EVP_sha256()), 1);
  std::size_t derSize = 0;
  EXPECT_EQ(EVP_PKEY_sign(ctx.get(), nullptr, &derSize, digest.data(), digest.size()), 1);
  Raw der(derSize);
  EXPECT_EQ(EVP_PKEY_sign(ctx.get(), der.data(), &derSize, digest.data(), digest.size()), 1);
  const unsigned char* cursor = der.data();
  std::unique_ptr<ECDSA_SIG, void (*)(ECDSA_SIG*)> sig(
      d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(derSize)), ECDSA_SIG_free);
  EXPECT_NE(sig, nullptr);
  Raw raw(64, 0);
  EXPECT_EQ(BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw.data(), 32), 32);
  EXPECT_EQ(BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw.data() + 32, 32), 32);
  return raw;
}

Raw SignRecordUntil(const TestDeviceKey& key, const Raw& message,
                    const std::function<bool(const Raw&)>& wanted, int maxTries) {
  for (int i = 0; i < maxTries; ++i) {
    Raw signature = SignRecord(key, message);
    if (wanted(signature)) return signature;
  }
  ADD_FAILURE() << "no signature of the wanted shape in " << maxTries << " tries";
  return {};
}

Raw Sha256Of(std::string_view bytes) {
  Raw digest(32, 0);
  unsigned int size = 0;
  EXPECT_EQ(EVP_Digest(bytes.data(), bytes.size(), digest.data(), &size, EVP_sha256(), nullptr), 1);
  return digest;
}

Raw Sha256Of(const Raw& bytes) {
  return Sha256Of(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Raw P256FieldPrime() {
  return Unhex("ffffffff00000001000000000000000000000000ffffffffffffffffffffffff");
}

Raw P256Order() {
  return Unhex("ffffffff00000000ffffffffffffffffbce6faada7179e84f3b9cac2fc632551");
}

Raw BlobWithXAboveFieldPrime() {
  std::unique_ptr<EC_GROUP, void (*)(EC_GROUP*)> group(
      EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1), EC_GROUP_free);
  std::unique_ptr<BN_CTX, void (*)(BN_CTX*)> ctx(BN_CTX_new(), BN_CTX_free);
  Bn p(BN_new()), a(BN_new()), b(BN_new()), x(BN_new()), rhs(BN_new()), t(BN_new()),
      y(BN_new());
  EXPECT_EQ(EC_GROUP_get_curve(group.get(), p.get(), a.get(), b.get(), ctx.get()), 1);
  for (BN_ULONG candidate = 1; candidate < 1000; ++candidate) {
    BN_set_word(x.get(), candidate);
    // rhs = x^3 + a x + b mod p
    BN_mod_sqr(t.get(), x.get(), p.get(), ctx.get());
    BN_mod_mul(rhs.get(), t.get(), x.get(), p.get(), ctx.get());
    BN_mod_mul(t.get(), a.get(), x.get(), p.get(), ctx.get());
    BN_mod_add(rhs.get(), rhs.get(), t.get(), p.get(), ctx.get());
    BN_mod_add(rhs.get(), rhs.get(), b.get(), p.get(), ctx.get());
    ERR_set_mark();
    const bool root = BN_mod_sqrt(y.get(), rhs.get(), p.get(), ctx.get()) != nullptr;
    ERR_pop_to_mark();
    if (!root) continue;
    BN_add(x.get(), x.get(), p.get());
    Raw blob{0x45, 0x43, 0x53, 0x31, 0x20, 0x00, 0x00, 0x00};
    Raw coordinate(32, 0);
    EXPECT_EQ(BN_bn2binpad(x.get(), coordinate.data(), 32), 32);
    blob.insert(blob.end(), coordinate.begin(), coordinate.end());
    EXPECT_EQ(BN_bn2binpad(y.get(), coordinate.data(), 32), 32);
    blob.insert(blob.end(), coordinate.begin(), coordinate.end());
    return blob;
  }
  ADD_FAILURE() << "no small x on P-256";
  return {};
}

Raw SubtractMod(const Raw& a, const Raw& b, const Raw& m) {
  Bn x(BN_bin2bn(a.data(), static_cast<int>(a.size()), nullptr));
  Bn y(BN_bin2bn(b.data(), static_cast<int>(b.size()), nullptr));
  Bn mod(BN_bin2bn(m.data(), static_cast<int>(m.size()), nullptr));
  Bn result(BN_new());
  std::unique_ptr<BN_CTX, void (*)(BN_CTX*)> ctx(BN_CTX_new(), BN_CTX_free);
  EXPECT_EQ(BN_mod_sub(result.get(), x.get(), y.get(), mod.get(), ctx.get()), 1);
  Raw out(32, 0);
  EXPECT_EQ(BN_bn2binpad(result.get(), out.data(), 32), 32);
  return out;
}

Raw Pattern(std::size_t size, std::uint8_t seed) {
  Raw out(size);
  for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(seed + 7 * i + 1);
  return out;
}

Raw Slice(const Raw& bytes, std::size_t offset, std::size_t size) {
  return Raw(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
             bytes.begin() + static_cast<std::ptrdiff_t>(offset + size));
}

std::string Hex(const Raw& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

Raw Unhex(std::string_view hex) {
  EXPECT_EQ(hex.size() % 2, 0u) << hex;
  Raw out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

ByteLayout& ByteLayout::Ascii(std::string_view text) {
  bytes.insert(bytes.end(), text.begin(), text.end());
  return *this;
}

ByteLayout& ByteLayout::U8(std::uint8_t value) {
  bytes.push_back(value);
  return *this;
}

ByteLayout& ByteLayout::U16Be(std::uint16_t value) {
  return U8(static_cast<std::uint8_t>(value >> 8)).U8(static_cast<std::uint8_t>(value));
}

ByteLayout& ByteLayout::U16Le(std::uint16_t value) {
  return U8(static_cast<std::uint8_t>(value)).U8(static_cast<std::uint8_t>(value >> 8));
}

ByteLayout& ByteLayout::U32Be(std::uint32_t value) {
  return U16Be(static_cast<std::uint16_t>(value >> 16)).U16Be(static_cast<std::uint16_t>(value));
}

ByteLayout& ByteLayout::Field(const Raw& field) {
  bytes.insert(bytes.end(), field.begin(), field.end());
  return *this;
}

}  // namespace zarnel::serverkit::testing
