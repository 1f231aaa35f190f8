// The device key store against the stand-in key storage providers: which
// provider's key ends up in the slot, that a key failing the checks is left
// exactly as it was, that signatures verify, and that no handle outlives a
// failure.
#include <gtest/gtest.h>
#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "proofs/device_key_store.h"
#include "standin_ksp_fixture.h"

namespace {
const uint8_t kDigest[kDeviceDigestSize] = {0x9f, 0x86, 0xd0, 0x81, 0x88, 0x4c, 0x7d, 0x65, 0x9a, 0x2f, 0xea,
                                            0xa0, 0xc5, 0x5a, 0xd0, 0x15, 0xa3, 0xbf, 0x4f, 0x1b, 0x2b, 0x0b,
                                            0x82, 0x2c, 0xd1, 0x5d, 0x6c, 0x15, 0xb0, 0xf0, 0x0a, 0x08};

bool AllZero(const uint8_t* bytes, size_t size) {
  for (size_t i = 0; i < size; ++i)
    if (bytes[i]) return false;
  return true;
}

// Checks a device signature with bcrypt against the exported public key.
bool VerifiesWithBcrypt(const std::vector<uint8_t>& publicKey, const uint8_t* digest, const uint8_t* signature) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_KEY_HANDLE key = nullptr;
  bool valid = false;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) == 0) {
    if (BCryptImportKeyPair(algorithm, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, const_cast<PUCHAR>(publicKey.data()),
                            static_cast<ULONG>(publicKey.size()), 0) == 0) {
      valid = BCryptVerifySignature(key, nullptr, const_cast<PUCHAR>(digest), kDeviceDigestSize,
                                    const_cast<PUCHAR>(signature), kDeviceSignatureSize, 0) == 0;
      BCryptDestroyKey(key);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
  }
  return valid;
}

// Plants a key of the device key's name in a provider, as another program
// (or an older build) could have left it.
void PlantKey(const wchar_t* providerName, const wchar_t* algorithm, DWORD exportPolicy) {
  NCRYPT_PROV_HANDLE provider = 0;
  NCRYPT_KEY_HANDLE key = 0;
  ASSERT_EQ(NCryptOpenStorageProvider(&provider, providerName, 0), ERROR_SUCCESS);
  ASSERT_EQ(NCryptCreatePersistedKey(provider, &key, algorithm, L"ZarnelGuardDeviceKeyV1", 0, 0), ERROR_SUCCESS);
  EXPECT_EQ(NCryptSetProperty(key, NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<PBYTE>(&exportPolicy),
                              sizeof(exportPolicy), NCRYPT_PERSIST_FLAG),
            ERROR_SUCCESS);
  EXPECT_EQ(NCryptFinalizeKey(key, 0), ERROR_SUCCESS);
  NCryptFreeObject(key);
  NCryptFreeObject(provider);
}

class DeviceKeyStore : public StandInKspTest {};

// ---- Provider choice and persistence ------------------------------------

TEST_F(DeviceKeyStore, FirstAcquireCreatesANonExportableKeyInThePlatformProviderAndTheNextOpensIt) {
  ASSERT_TRUE(AcquireDeviceKey());
  EXPECT_EQ(guard.deviceKeyKind, kDeviceKeyKindPlatform);
  EXPECT_NE(guard.deviceKeyProvider, 0u);
  EXPECT_NE(guard.deviceKey, 0u);
  EXPECT_EQ(CreatedKeys(), 1);
  EXPECT_EQ(OpenObjects(), 2) << "only the slot's provider and key";
  EXPECT_FALSE(ReadFileBytes(KeyFile(true)).empty());
  EXPECT_TRUE(ReadFileBytes(KeyFile(false)).empty()) << "the software provider was not needed";
  std::vector<uint8_t> first = SlotPublicKey();
  ASSERT_EQ(first.size(), kDevicePublicKeySize);

  // The persisted policy, read through a handle of its own: no export of
  // the private key in any form.
  NCRYPT_PROV_HANDLE provider = 0;
  NCRYPT_KEY_HANDLE key = 0;
  ASSERT_EQ(NCryptOpenStorageProvider(&provider, MS_PLATFORM_CRYPTO_PROVIDER, 0), ERROR_SUCCESS);
  ASSERT_EQ(NCryptOpenKey(provider, &key, L"ZarnelGuardDeviceKeyV1", 0, 0), ERROR_SUCCESS);
  DWORD policy = 0xFFFFFFFF, length = 0;
  EXPECT_EQ(NCryptGetProperty(key, NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<PBYTE>(&policy), sizeof(policy),
                              &length, 0),
            ERROR_SUCCESS);
  EXPECT_EQ(policy, 0u);
  uint8_t privateBlob[256];
  EXPECT_NE(NCryptExportKey(key, 0, BCRYPT_ECCPRIVATE_BLOB, nullptr, privateBlob, sizeof(privateBlob), &length, 0),
            ERROR_SUCCESS);
  NCryptFreeObject(key);
  NCryptFreeObject(provider);

  ReleaseDeviceKey();
  ASSERT_TRUE(AcquireDeviceKey());
  EXPECT_EQ(guard.deviceKeyKind, kDeviceKeyKindPlatform);
  EXPECT_EQ(CreatedKeys(), 1) << "the second acquire opened the key instead of creating one";
  EXPECT_EQ(SlotPublicKey(), first);
}

TEST_F(DeviceKeyStore, WithoutAUsablePlatformProviderTheSoftwareProviderHoldsTheKey) {
  for (const wchar_t* platform : {L"unavailable", L"not-creatable"}) {
    SCOPED_TRACE(testing::Message() << "platform " << std::string(platform, platform + wcslen(platform)));
    RemoveDirectoryTree(store_);
    UseBehaviours(platform, L"normal");
    ASSERT_TRUE(AcquireDeviceKey());
    EXPECT_EQ(guard.deviceKeyKind, kDeviceKeyKindSoftware);
    EXPECT_EQ(OpenObjects(), 2);
    EXPECT_TRUE(ReadFileBytes(KeyFile(true)).empty());
    std::vector<uint8_t> first = SlotPublicKey();
    ReleaseDeviceKey();

    ASSERT_TRUE(AcquireDeviceKey());
    EXPECT_EQ(guard.deviceKeyKind, kDeviceKeyKindSoftware);
    EXPECT_EQ(SlotPublicKey(), first);
    ReleaseDeviceKey();
  }
}

TEST_F(DeviceKeyStore, AlgorithmNameInOtherLetterCaseIsTheRightAlgorithm) {
  UseBehaviours(L"algorithm-case", L"normal");
  ASSERT_TRUE(AcquireDeviceKey());
  EXPECT_EQ(guard.deviceKeyKind, kDeviceKeyKindPlatform);
}

// ---- A platform key that fails the checks -------------------------------

struct BadPlatformCase {
  const char* name;
  const wchar_t* platformBehaviour;
};
void PrintTo(const BadPlatformCase& value, std::ostream* out) { *out << value.name; }

const BadPlatformCase kBadPlatformCases[] = {
    {"algorithm_other", L"algorithm-other"},    {"policy_nonzero", L"policy-nonzero"},
    {"policy_short", L"policy-short"},          {"policy_long", L"policy-long"},
    {"blob_size", L"blob-size"},                {"blob_magic", L"blob-magic"},
    {"blob_key_length", L"blob-key-length"},    {"blob_short_write", L"blob-short-write"},
};

class BadPlatformKey : public StandInKspTest, public testing::WithParamInterface<BadPlatformCase> {};

TEST_P(BadPlatformKey, FallsThroughToTheSoftwareProviderAndStaysUntouched) {
  ASSERT_TRUE(AcquireDeviceKey());
  ASSERT_EQ(guard.deviceKeyKind, kDeviceKeyKindPlatform);
  std::vector<uint8_t> platformKey = SlotPublicKey();
  ReleaseDeviceKey();
  std::string platformFile = ReadFileBytes(KeyFile(true));
  ASSERT_FALSE(platformFile.empty());

  UseBehaviours(GetParam().platformBehaviour, L"normal");
  ASSERT_TRUE(AcquireDeviceKey());
  EXPECT_EQ(guard.deviceKeyKind, kDeviceKeyKindSoftware);
  EXPECT_EQ(OpenObjects(), 2) << "the rejected platform provider and key were closed";
  std::vector<uint8_t> softwareKey = SlotPublicKey();
  EXPECT_EQ(softwareKey.size(), kDevicePublicKeySize);
  EXPECT_NE(softwareKey, platformKey);
  ReleaseDeviceKey();
  EXPECT_EQ(ReadFileBytes(KeyFile(true)), platformFile) << "the rejected key was changed";

  // Once the provider answers properly again, the same platform key is back.
  UseBehaviours(L"normal", L"normal");
  ASSERT_TRUE(AcquireDeviceKey());
  EXPECT_EQ(guard.deviceKeyKind, kDeviceKeyKindPlatform);
  EXPECT_EQ(SlotPublicKey(), platformKey);
}

TEST_P(BadPlatformKey, AFreshlyCreatedKeyThatFailsIsKeptAndTheSoftwareProviderUsed) {
  UseBehaviours(GetParam().platformBehaviour, L"normal");
  ASSERT_TRUE(AcquireDeviceKey());
  EXPECT_EQ(guard.deviceKeyKind, kDeviceKeyKindSoftware);
  EXPECT_EQ(CreatedKeys(), 2) << "one key in each provider";
  EXPECT_FALSE(ReadFileBytes(KeyFile(true)).empty()) << "the platform key was created and never deleted";
}

INSTANTIATE_TEST_SUITE_P(EachCheck, BadPlatformKey, testing::ValuesIn(kBadPlatformCases),
                         [](const testing::TestParamInfo<BadPlatformCase>& info) { return info.param.name; });

struct PlantedKeyCase {
  const char* name;
  const wchar_t* algorithm;
  DWORD exportPolicy;
};
void PrintTo(const PlantedKeyCase& value, std::ostream* out) { *out << value.name; }

class PlantedPlatformKey : public StandInKspTest, public testing::WithParamInterface<PlantedKeyCase> {};

TEST_P(PlantedPlatformKey, IsNeitherUsedNorReplaced) {
  PlantKey(MS_PLATFORM_CRYPTO_PROVIDER, GetParam().algorithm, GetParam().exportPolicy);
  std::string planted = ReadFileBytes(KeyFile(true));
  ASSERT_FALSE(planted.empty());

  ASSERT_TRUE(AcquireDeviceKey());
  EXPECT_EQ(guard.deviceKeyKind, kDeviceKeyKindSoftware);
  ReleaseDeviceKey();
  EXPECT_EQ(ReadFileBytes(KeyFile(true)), planted);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, PlantedPlatformKey,
    testing::Values(PlantedKeyCase{"p384", L"ECDSA_P384", 0},
                    PlantedKeyCase{"exportable", L"ECDSA_P256", NCRYPT_ALLOW_EXPORT_FLAG},
                    PlantedKeyCase{"plaintext_exportable", L"ECDSA_P256", NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG}),
    [](const testing::TestParamInfo<PlantedKeyCase>& info) { return info.param.name; });

TEST_F(DeviceKeyStore, BothProvidersFailingLeavesTheSlotEmptyAndNothingOpen) {
  const std::pair<const wchar_t*, const wchar_t*> kBoth[] = {
      {L"unavailable", L"unavailable"},
      {L"algorithm-other", L"policy-nonzero"},
      {L"not-creatable", L"blob-magic"},
  };
  for (const auto& [platform, software] : kBoth) {
    RemoveDirectoryTree(store_);
    UseBehaviours(platform, software);
    EXPECT_FALSE(AcquireDeviceKey());
    EXPECT_EQ(guard.deviceKey, 0u);
    EXPECT_EQ(guard.deviceKeyProvider, 0u);
    EXPECT_EQ(guard.deviceKeyKind, kDeviceKeyKindNone);
    EXPECT_EQ(OpenObjects(), 0);
  }
  EXPECT_STREQ(guard.lastErrorText, L"ZarnelGuard initialization failed.") << "the start-up words the failure";
}

// ---- Signing --------------------------------------------------------------

TEST_F(DeviceKeyStore, SignaturesFromEitherProviderVerifyAgainstTheExportedKey) {
  for (const wchar_t* platform : {L"normal", L"unavailable"}) {
    UseBehaviours(platform, L"normal");
    ASSERT_TRUE(AcquireDeviceKey());
    uint8_t signature[kDeviceSignatureSize];
    uint8_t publicKey[kDevicePublicKeySize];
    AcquireSRWLockExclusive(&guard.deviceKeyLock);
    bool exported = ExportDevicePublicKey(guard.deviceKey, publicKey);
    bool signedDigest = SignWithDeviceKey(kDigest, signature);
    ReleaseSRWLockExclusive(&guard.deviceKeyLock);
    ASSERT_TRUE(exported);
    ASSERT_TRUE(signedDigest);
    std::vector<uint8_t> key(publicKey, publicKey + sizeof(publicKey));
    EXPECT_TRUE(VerifiesWithBcrypt(key, kDigest, signature)) << "kind " << guard.deviceKeyKind;

    uint8_t otherDigest[kDeviceDigestSize];
    std::memcpy(otherDigest, kDigest, sizeof(otherDigest));
    otherDigest[31] ^= 1;
    EXPECT_FALSE(VerifiesWithBcrypt(key, otherDigest, signature));
    ReleaseDeviceKey();
  }
}

TEST_F(DeviceKeyStore, ASignatureOfAnotherLengthOrAllZerosIsAFailure) {
  for (const wchar_t* platform : {L"signature-short", L"signature-zero"}) {
    UseBehaviours(platform, L"normal");
    ASSERT_TRUE(AcquireDeviceKey()) << "opening a key signs nothing";
    ASSERT_EQ(guard.deviceKeyKind, kDeviceKeyKindPlatform);
    uint8_t signature[kDeviceSignatureSize];
    std::memset(signature, 0xA5, sizeof(signature));
    AcquireSRWLockExclusive(&guard.deviceKeyLock);
    EXPECT_FALSE(SignWithDeviceKey(kDigest, signature));
    ReleaseSRWLockExclusive(&guard.deviceKeyLock);
    EXPECT_TRUE(AllZero(signature, sizeof(signature))) << "nothing of a rejected signature is handed out";
    ReleaseDeviceKey();
  }
}

TEST_F(DeviceKeyStore, AfterReleaseTheSlotIsEmptyAndASignerNeverReachesTheProvider) {
  ASSERT_TRUE(AcquireDeviceKey());
  ReleaseDeviceKey();
  EXPECT_EQ(guard.deviceKey, 0u);
  EXPECT_EQ(guard.deviceKeyProvider, 0u);
  EXPECT_EQ(guard.deviceKeyKind, kDeviceKeyKindNone);
  EXPECT_EQ(OpenObjects(), 0);

  LONG callsBefore = Calls();
  uint8_t signature[kDeviceSignatureSize];
  uint8_t publicKey[kDevicePublicKeySize];
  AcquireSRWLockExclusive(&guard.deviceKeyLock);
  EXPECT_FALSE(HasDeviceKey());
  EXPECT_FALSE(SignWithDeviceKey(kDigest, signature));
  EXPECT_FALSE(ExportDevicePublicKey(guard.deviceKey, publicKey));
  ReleaseSRWLockExclusive(&guard.deviceKeyLock);
  EXPECT_EQ(Calls(), callsBefore);

  ReleaseDeviceKey();  // twice is harmless
  EXPECT_EQ(Calls(), callsBefore);
}

TEST_F(DeviceKeyStore, AKindWithoutAKeyHandleIsNoKey) {
  guard.deviceKeyKind = kDeviceKeyKindSoftware;
  LONG callsBefore = Calls();
  uint8_t signature[kDeviceSignatureSize];
  EXPECT_FALSE(SignWithDeviceKey(kDigest, signature));
  EXPECT_EQ(Calls(), callsBefore);
  guard.deviceKeyKind = kDeviceKeyKindNone;
}

TEST_F(DeviceKeyStore, AcquiringAgainClosesTheKeyItReplaces) {
  ASSERT_TRUE(AcquireDeviceKey());
  std::vector<uint8_t> first = SlotPublicKey();
  ASSERT_TRUE(AcquireDeviceKey());
  EXPECT_EQ(OpenObjects(), 2);
  EXPECT_EQ(SlotPublicKey(), first);
}

// ---- Every failing provider call ------------------------------------------

// Replacements for single NCrypt calls; everything else stays real. A
// failing open or create leaves a value in its handle output, as providers
// may: the store must neither free nor keep it.
constexpr NCRYPT_HANDLE kFailedOpenLeftover = 0x5EC0DE1C;
int createCalls;
int leftoverFrees;
SECURITY_STATUS WINAPI FailOpenProvider(NCRYPT_PROV_HANDLE* provider, LPCWSTR, DWORD) {
  *provider = kFailedOpenLeftover;
  return NTE_DEVICE_NOT_FOUND;
}
SECURITY_STATUS WINAPI FailOpenKeyCorrupt(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE* key, LPCWSTR, DWORD, DWORD) {
  *key = kFailedOpenLeftover;
  return NTE_BAD_DATA;
}
SECURITY_STATUS WINAPI OpenKeyNotFound(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE* key, LPCWSTR, DWORD, DWORD) {
  *key = kFailedOpenLeftover;
  return NTE_NOT_FOUND;
}
SECURITY_STATUS WINAPI FreeUnlessLeftover(NCRYPT_HANDLE object) {
  if (object == kFailedOpenLeftover) return ++leftoverFrees, NTE_INVALID_HANDLE;
  return NCryptFreeObject(object);
}
SECURITY_STATUS WINAPI CountingCreate(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key, LPCWSTR algorithm,
                                      LPCWSTR name, DWORD legacyKeyUsage, DWORD flags) {
  ++createCalls;
  return NCryptCreatePersistedKey(provider, key, algorithm, name, legacyKeyUsage, flags);
}
SECURITY_STATUS WINAPI FailCreate(NCRYPT_PROV_HANDLE, NCRYPT_KEY_HANDLE* key, LPCWSTR, LPCWSTR, DWORD, DWORD) {
  *key = kFailedOpenLeftover;
  return NTE_NOT_SUPPORTED;
}
SECURITY_STATUS WINAPI FailSetProperty(NCRYPT_HANDLE, LPCWSTR, PBYTE, DWORD, DWORD) { return NTE_INVALID_PARAMETER; }
SECURITY_STATUS WINAPI FailFinalize(NCRYPT_KEY_HANDLE, DWORD) { return NTE_FAIL; }
template <const wchar_t* FailingProperty>
SECURITY_STATUS WINAPI FailGetProperty(NCRYPT_HANDLE object, LPCWSTR property, PBYTE output, DWORD size,
                                       DWORD* result, DWORD flags) {
  if (wcscmp(property, FailingProperty) == 0) return NTE_NOT_SUPPORTED;
  return NCryptGetProperty(object, property, output, size, result, flags);
}
const wchar_t kAlgorithmProperty[] = NCRYPT_ALGORITHM_PROPERTY;
const wchar_t kPolicyProperty[] = NCRYPT_EXPORT_POLICY_PROPERTY;
template <bool FailWrite>
SECURITY_STATUS WINAPI FailExport(NCRYPT_KEY_HANDLE key, NCRYPT_KEY_HANDLE exportKey, LPCWSTR type,
                                  NCryptBufferDesc* parameters, PBYTE output, DWORD size, DWORD* result, DWORD flags) {
  if ((output != nullptr) == FailWrite) return NTE_FAIL;
  return NCryptExportKey(key, exportKey, type, parameters, output, size, result, flags);
}

struct FailingCallCase {
  const char* name;
  void (*inject)();
  bool keyPersisted;  // whether the device key exists in the provider afterwards
};
void PrintTo(const FailingCallCase& value, std::ostream* out) { *out << value.name; }

const FailingCallCase kFailingCallCases[] = {
    {"open_provider", [] { win32Calls.NCryptOpenStorageProvider = FailOpenProvider; }, false},
    {"open_key_corrupt", [] { win32Calls.NCryptOpenKey = FailOpenKeyCorrupt; }, false},
    {"create", [] { win32Calls.NCryptCreatePersistedKey = FailCreate; }, false},
    {"create_after_not_found",
     [] {
       win32Calls.NCryptOpenKey = OpenKeyNotFound;
       win32Calls.NCryptCreatePersistedKey = FailCreate;
     },
     false},
    {"set_export_policy", [] { win32Calls.NCryptSetProperty = FailSetProperty; }, false},
    {"finalize", [] { win32Calls.NCryptFinalizeKey = FailFinalize; }, false},
    {"get_algorithm", [] { win32Calls.NCryptGetProperty = FailGetProperty<kAlgorithmProperty>; }, true},
    {"get_export_policy", [] { win32Calls.NCryptGetProperty = FailGetProperty<kPolicyProperty>; }, true},
    {"export_size", [] { win32Calls.NCryptExportKey = FailExport<false>; }, true},
    {"export_write", [] { win32Calls.NCryptExportKey = FailExport<true>; }, true},
};

class FailingProviderCall : public StandInKspTest, public testing::WithParamInterface<FailingCallCase> {};

TEST_P(FailingProviderCall, LeavesBothOutputsZeroAndNothingOpen) {
  leftoverFrees = 0;
  win32Calls.NCryptFreeObject = FreeUnlessLeftover;
  GetParam().inject();
  NCRYPT_PROV_HANDLE provider = 0x1234;
  NCRYPT_KEY_HANDLE key = 0x5678;
  EXPECT_FALSE(OpenDeviceKey(MS_PLATFORM_CRYPTO_PROVIDER, provider, key));
  EXPECT_EQ(provider, 0u);
  EXPECT_EQ(key, 0u);
  EXPECT_EQ(OpenObjects(), 0);
  EXPECT_EQ(!ReadFileBytes(KeyFile(true)).empty(), GetParam().keyPersisted);
  EXPECT_EQ(leftoverFrees, 0) << "freed what a failed call wrote into its handle output";
}

INSTANTIATE_TEST_SUITE_P(EachCall, FailingProviderCall, testing::ValuesIn(kFailingCallCases),
                         [](const testing::TestParamInfo<FailingCallCase>& info) { return info.param.name; });

TEST_F(DeviceKeyStore, AnOpenFailureOtherThanAMissingKeyCreatesNothing) {
  createCalls = 0;
  win32Calls.NCryptOpenKey = FailOpenKeyCorrupt;
  win32Calls.NCryptCreatePersistedKey = CountingCreate;
  EXPECT_FALSE(AcquireDeviceKey());
  EXPECT_EQ(createCalls, 0);
  EXPECT_EQ(CreatedKeys(), 0);
}

TEST_F(DeviceKeyStore, NotFoundAlsoMeansAMissingKey) {
  win32Calls.NCryptOpenKey = OpenKeyNotFound;
  ASSERT_TRUE(AcquireDeviceKey());
  EXPECT_EQ(guard.deviceKeyKind, kDeviceKeyKindPlatform);
  EXPECT_FALSE(ReadFileBytes(KeyFile(true)).empty());
}

TEST_F(DeviceKeyStore, AKeyThatExistsButCouldNotBeOpenedIsNeverOverwritten) {
  ASSERT_TRUE(AcquireDeviceKey());
  ReleaseDeviceKey();
  std::string existing = ReadFileBytes(KeyFile(true));
  // The provider claims the key is missing although it exists: creating it
  // again must fail rather than replace it.
  win32Calls.NCryptOpenKey = OpenKeyNotFound;
  ASSERT_TRUE(AcquireDeviceKey());
  EXPECT_EQ(guard.deviceKeyKind, kDeviceKeyKindSoftware);
  EXPECT_EQ(ReadFileBytes(KeyFile(true)), existing);
}

// ---- The algorithm name as the provider spells it -------------------------

struct AlgorithmAnswer {
  const char* name;
  std::vector<wchar_t> text;  // what the provider writes
  DWORD reportedLength;       // what it reports, in bytes
  bool accepted;
};
void PrintTo(const AlgorithmAnswer& value, std::ostream* out) { *out << value.name; }

const AlgorithmAnswer* currentAnswer;
SECURITY_STATUS WINAPI AnswerAlgorithm(NCRYPT_HANDLE object, LPCWSTR property, PBYTE output, DWORD size,
                                       DWORD* result, DWORD flags) {
  if (wcscmp(property, NCRYPT_ALGORITHM_PROPERTY) != 0)
    return NCryptGetProperty(object, property, output, size, result, flags);
  size_t bytes = currentAnswer->text.size() * sizeof(wchar_t);
  std::memcpy(output, currentAnswer->text.data(), bytes < size ? bytes : size);
  *result = currentAnswer->reportedLength;
  return ERROR_SUCCESS;
}

std::vector<wchar_t> Text(const wchar_t* text, bool terminated = true) {
  std::vector<wchar_t> chars(text, text + wcslen(text));
  if (terminated) chars.push_back(L'\0');
  return chars;
}

const wchar_t kNameThenJunk[] = L"ECDSA_P256\0xyz";

const AlgorithmAnswer kAlgorithmAnswers[] = {
    {"exact", Text(L"ECDSA_P256"), 22, true},
    {"lower_case", Text(L"ecdsa_p256"), 22, true},
    {"unterminated", Text(L"ECDSA_P256", false), 20, true},
    {"junk_after_terminator", std::vector<wchar_t>(std::begin(kNameThenJunk), std::end(kNameThenJunk)), 30, true},
    {"longer_name", Text(L"ECDSA_P2560"), 24, false},
    {"prefix_only", Text(L"ECDSA_P25"), 20, false},
    {"reported_length_cuts_name", Text(L"ECDSA_P256"), 18, false},
    {"one_byte", Text(L"ECDSA_P256"), 1, false},
    {"empty", Text(L""), 2, false},
    {"long_s_is_no_ascii_s", Text(L"ECD\x017F" L"A_P256"), 22, false},  // towupper would make it 'S'
    {"fills_buffer_and_claims_more", std::vector<wchar_t>(64, L'E'), 4096, false},
};

class AlgorithmNameAnswer : public StandInKspTest, public testing::WithParamInterface<AlgorithmAnswer> {};

TEST_P(AlgorithmNameAnswer, IsComparedWithinWhatTheProviderWrote) {
  currentAnswer = &GetParam();
  win32Calls.NCryptGetProperty = AnswerAlgorithm;
  NCRYPT_PROV_HANDLE provider = 0;
  NCRYPT_KEY_HANDLE key = 0;
  EXPECT_EQ(OpenDeviceKey(MS_PLATFORM_CRYPTO_PROVIDER, provider, key), GetParam().accepted);
  if (provider) NCryptFreeObject(provider);
  if (key) NCryptFreeObject(key);
}

INSTANTIATE_TEST_SUITE_P(Answers, AlgorithmNameAnswer, testing::ValuesIn(kAlgorithmAnswers),
                         [](const testing::TestParamInfo<AlgorithmAnswer>& info) { return info.param.name; });
}  // namespace
