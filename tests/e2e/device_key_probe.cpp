// Acquires the device key with the guard's own code in a process of its
// own, signs a digest and checks the signature with bcrypt, then releases
// the key; prints "key=value" lines for the test to compare across runs.
// Which ncrypt.dll it gets (the stand-in beside it, or Wine's) is up to the
// directory it runs from.
#include <windows.h>
#include <bcrypt.h>

#include <cstdio>

#include "state/guard_state.h"
#include "platform/system_library_calls.h"
#include "proofs/device_key_store.h"

namespace {
const uint8_t kDigest[kDeviceDigestSize] = {0x5a, 0x17, 0x01, 0xee, 0x42, 0x9c, 0x63, 0x10, 0x7f, 0x88, 0x21,
                                            0x3d, 0xb0, 0x04, 0x6e, 0x91, 0xcc, 0x2a, 0x58, 0x13, 0xf6, 0x09,
                                            0x74, 0xab, 0x3e, 0xd2, 0x65, 0x8f, 0x1b, 0x40, 0x97, 0x26};

void PrintHex(const char* key, const uint8_t* bytes, size_t size) {
  std::printf("%s=", key);
  for (size_t i = 0; i < size; ++i) std::printf("%02x", bytes[i]);
  std::printf("\n");
}

bool Verifies(const uint8_t* publicKey, const uint8_t* signature) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_KEY_HANDLE key = nullptr;
  bool valid = false;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) return false;
  if (BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, const_cast<PUCHAR>(publicKey),
                          kDevicePublicKeySize, 0) == 0) {
    valid = BCryptVerifySignature(key, nullptr, const_cast<PUCHAR>(kDigest), sizeof(kDigest),
                                  const_cast<PUCHAR>(signature), kDeviceSignatureSize, 0) == 0;
    BCryptDestroyKey(key);
  }
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return valid;
}

LONG StandInCounter(const char* name) {
  // The provider library the guard itself loads (from the system directory).
  HMODULE ncrypt = LoadSystemLibrary(kSystemLibraryNcrypt);
  auto counter = ncrypt ? reinterpret_cast<LONG(WINAPI*)()>(GetProcAddress(ncrypt, name)) : nullptr;
  return counter ? counter() : -1;
}
}  // namespace

int wmain() {
  InitializeSRWLock(&guard.deviceKeyLock);
  std::printf("standin=%d\n", StandInCounter("StandInKspOpenObjectCount") >= 0);
  bool acquired = AcquireDeviceKey();
  std::printf("acquired=%d\n", acquired);
  if (acquired) {
    uint8_t publicKey[kDevicePublicKeySize];
    uint8_t signature[kDeviceSignatureSize];
    AcquireSRWLockExclusive(&guard.deviceKeyLock);
    std::printf("kind=%u\n", guard.deviceKeyKind);
    bool exported = ExportDevicePublicKey(guard.deviceKey, publicKey);
    bool signedDigest = SignWithDeviceKey(kDigest, signature);
    ReleaseSRWLockExclusive(&guard.deviceKeyLock);
    if (exported) PrintHex("public_key", publicKey, sizeof(publicKey));
    std::printf("signature_valid=%d\n", exported && signedDigest && Verifies(publicKey, signature));
  }
  ReleaseDeviceKey();
  std::printf("created_keys=%ld\n", StandInCounter("StandInKspCreatedKeyCount"));
  std::printf("open_objects_after_release=%ld\n", StandInCounter("StandInKspOpenObjectCount"));
  std::fflush(stdout);
  return 0;
}
