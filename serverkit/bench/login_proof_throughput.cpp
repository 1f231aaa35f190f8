// Login proofs verified per second on one core: the kit's VerifyLoginProof
// against bare OpenSSL ECDSA P-256 verification of the same records, in
// alternating rounds of one run, so that the ratio holds whatever else the
// machine does.
//
//   login_proof_throughput [ROUNDS=7] [PROOFS_PER_ROUND=4000]
//
// The bare path does only what any verifier must: import the 72-byte key's
// point (by the group's name, as libcrypto's documentation shows), DER-encode
// r and s, and verify over SHA-256 of the prebuilt 217-byte record. The kit
// additionally checks every field by name, rebuilds the record from the
// challenge, and checks the point and the scalar ranges itself, but imports
// the point into a copy of a prepared P-256 parameter key, which spares
// building the group for every key. A second reference reuses one imported
// key per device, which a server cannot do for unknown devices.
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include "challenge.h"
#include "login_proof.h"
#include "record_layouts.h"

namespace {

using namespace zarnel::serverkit;
using testing::Raw;

struct Sample {
  LoginProof proof;
  Raw record;
};

EVP_PKEY* ImportPoint(const Raw& blob) {
  unsigned char point[65];
  point[0] = 0x04;
  std::copy(blob.begin() + 8, blob.begin() + 72, point + 1);
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, point, sizeof point),
      OSSL_PARAM_construct_end()};
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
  EVP_PKEY* key = nullptr;
  if (ctx == nullptr || EVP_PKEY_fromdata_init(ctx) != 1 ||
      EVP_PKEY_fromdata(ctx, &key, EVP_PKEY_PUBLIC_KEY, params) != 1) {
    key = nullptr;
  }
  EVP_PKEY_CTX_free(ctx);
  return key;
}

bool BareVerify(EVP_PKEY* key, const Raw& record, const Raw& signature) {
  ECDSA_SIG* sig = ECDSA_SIG_new();
  ECDSA_SIG_set0(sig, BN_bin2bn(signature.data(), 32, nullptr),
                 BN_bin2bn(signature.data() + 32, 32, nullptr));
  unsigned char der[80];
  unsigned char* cursor = der;
  const int size = i2d_ECDSA_SIG(sig, &cursor);
  ECDSA_SIG_free(sig);
  EVP_MD_CTX* md = EVP_MD_CTX_new();
  const bool ok = EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, key) == 1 &&
                  EVP_DigestVerify(md, der, static_cast<size_t>(size), record.data(),
                                   record.size()) == 1;
  EVP_MD_CTX_free(md);
  return ok;
}

double Rate(const std::function<bool(const Sample&)>& verify, const std::vector<Sample>& samples,
            int count) {
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < count; ++i) {
    if (!verify(samples[static_cast<std::size_t>(i) % samples.size()])) {
      std::fprintf(stderr, "a valid proof was rejected\n");
      std::exit(1);
    }
  }
  const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - start;
  return count / spent.count();
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 7;
  const int perRound = argc > 2 ? std::atoi(argv[2]) : 4000;
  if (rounds < 1 || perRound < 1) {
    std::fprintf(stderr, "usage: login_proof_throughput [ROUNDS] [PROOFS_PER_ROUND]\n");
    return 2;
  }
  // One core: the figures are per core.
  cpu_set_t cpus;
  CPU_ZERO(&cpus);
  CPU_SET(sched_getcpu(), &cpus);
  sched_setaffinity(0, sizeof cpus, &cpus);

  std::vector<testing::TestDeviceKey> devices;
  for (int i = 0; i < 16; ++i) devices.push_back(testing::MakeTestDeviceKey());
  std::vector<Sample> samples;
  std::vector<EVP_PKEY*> importedKeys;
  for (int i = 0; i < 256; ++i) {
    const testing::TestDeviceKey& device = devices[static_cast<std::size_t>(i) % devices.size()];
    Challenge challenge;
    if (!IssueLoginChallenge(62, challenge).ok()) return 1;
    testing::LoginRecordFields fields;
    fields.challengeId = challenge.id;
    fields.challengeNonce = challenge.nonce;
    fields.publicKey = device.blob;
    Sample sample;
    sample.record = testing::LayLoginProofRecord(fields);
    sample.proof = {challenge, fields.loginName, fields.clientBuild, fields.keyKind,
                    fields.machineDigest, device.blob, testing::SignRecord(device, sample.record)};
    samples.push_back(sample);
    importedKeys.push_back(ImportPoint(device.blob));
  }

  const auto kit = [](const Sample& s) { return VerifyLoginProof(s.proof).ok(); };
  const auto bare = [](const Sample& s) {
    EVP_PKEY* key = ImportPoint(s.proof.publicKey);
    const bool ok = key != nullptr && BareVerify(key, s.record, s.proof.signature);
    EVP_PKEY_free(key);
    return ok;
  };
  std::size_t next = 0;
  const auto bareKnownKey = [&](const Sample& s) {
    return BareVerify(importedKeys[next++ % importedKeys.size()], s.record, s.proof.signature);
  };

  std::vector<double> kitRates, bareRates, knownKeyRates;
  Rate(kit, samples, perRound / 4);  // warm-up
  Rate(bare, samples, perRound / 4);
  for (int round = 0; round < rounds; ++round) {
    kitRates.push_back(Rate(kit, samples, perRound));
    bareRates.push_back(Rate(bare, samples, perRound));
    next = 0;
    knownKeyRates.push_back(Rate(bareKnownKey, samples, perRound));
  }
  for (EVP_PKEY* key : importedKeys) EVP_PKEY_free(key);

  const double kitRate = Median(kitRates), bareRate = Median(bareRates);
  const double knownRate = Median(knownKeyRates);
  std::printf("login_proof_kit_per_second=%.0f\n", kitRate);
  std::printf("login_proof_bare_per_second=%.0f\n", bareRate);
  std::printf("login_proof_bare_known_key_per_second=%.0f\n", knownRate);
  std::printf("login_proof_ratio_to_bare=%.3f\n", kitRate / bareRate);
  std::printf("login_proof_ratio_to_bare_known_key=%.3f\n", kitRate / knownRate);
  std::printf("login_proof_rounds=%d\nlogin_proof_per_round=%d\n", rounds, perRound);
  return 0;
}
