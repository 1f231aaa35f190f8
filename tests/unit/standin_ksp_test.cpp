// The stand-in key storage provider's own contract: the status codes a
// caller of the real providers relies on, its two separate stores, and its
// refusal of settings it does not understand.
#include <gtest/gtest.h>
#include <windows.h>
#include <ncrypt.h>

#include "standin_ksp_fixture.h"

namespace {
class StandInKsp : public StandInKspTest {
 protected:
  void TearDown() override {
    if (key_) NCryptFreeObject(key_);
    if (provider_) NCryptFreeObject(provider_);
    StandInKspTest::TearDown();
  }
  void OpenProvider(const wchar_t* name = MS_KEY_STORAGE_PROVIDER) {
    ASSERT_EQ(NCryptOpenStorageProvider(&provider_, name, 0), ERROR_SUCCESS);
  }
  void CreateKey(const wchar_t* name = L"TestKey") {
    ASSERT_EQ(NCryptCreatePersistedKey(provider_, &key_, L"ECDSA_P256", name, 0, 0), ERROR_SUCCESS);
    ASSERT_EQ(NCryptFinalizeKey(key_, 0), ERROR_SUCCESS);
  }
  NCRYPT_PROV_HANDLE provider_ = 0;
  NCRYPT_KEY_HANDLE key_ = 0;
};

TEST_F(StandInKsp, AnswersTheStatusCodesOfTheRealProviders) {
  OpenProvider();
  NCRYPT_KEY_HANDLE other = 0;
  EXPECT_EQ(NCryptOpenKey(provider_, &other, L"Missing", 0, 0), NTE_BAD_KEYSET);
  EXPECT_EQ(other, 0u);
  CreateKey();
  EXPECT_EQ(NCryptCreatePersistedKey(provider_, &other, L"ECDSA_P256", L"TestKey", 0, 0), NTE_EXISTS);
  EXPECT_EQ(other, 0u);

  wchar_t name[2];
  DWORD length = 0;
  EXPECT_EQ(NCryptGetProperty(key_, NCRYPT_ALGORITHM_PROPERTY, reinterpret_cast<PBYTE>(name), sizeof(name), &length, 0),
            NTE_BUFFER_TOO_SMALL);
  EXPECT_EQ(length, sizeof(L"ECDSA_P256"));
  uint8_t digest[32] = {1};
  uint8_t signature[64];
  EXPECT_EQ(NCryptSignHash(key_, nullptr, digest, sizeof(digest), signature, 63, &length, 0), NTE_BUFFER_TOO_SMALL);
  EXPECT_EQ(NCryptSignHash(key_, nullptr, digest, sizeof(digest), signature, 64, &length, 0x100), NTE_BAD_FLAGS);
  EXPECT_EQ(NCryptOpenStorageProvider(&other, MS_KEY_STORAGE_PROVIDER, 0x100), NTE_BAD_FLAGS);
  EXPECT_EQ(NCryptFinalizeKey(key_, 0x1000), NTE_BAD_FLAGS);

  NCRYPT_KEY_HANDLE unfinished = 0;
  ASSERT_EQ(NCryptCreatePersistedKey(provider_, &unfinished, L"ECDSA_P256", L"Unfinished", 0, 0), ERROR_SUCCESS);
  WORD shortPolicy = 0;
  EXPECT_EQ(NCryptSetProperty(unfinished, NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<PBYTE>(&shortPolicy),
                              sizeof(shortPolicy), 0),
            NTE_INVALID_PARAMETER);
  EXPECT_EQ(NCryptExportKey(unfinished, 0, BCRYPT_ECCPUBLIC_BLOB, nullptr, nullptr, 0, &length, 0), NTE_BAD_KEY_STATE);
  EXPECT_EQ(NCryptFreeObject(unfinished), ERROR_SUCCESS);
  EXPECT_EQ(NCryptFreeObject(unfinished), NTE_INVALID_HANDLE) << "a freed handle is no handle";
  EXPECT_EQ(NCryptOpenKey(provider_, &other, L"Unfinished", 0, 0), NTE_BAD_KEYSET) << "only a finalised key persists";
  EXPECT_EQ(NCryptGetProperty(0x1234, NCRYPT_NAME_PROPERTY, nullptr, 0, &length, 0), NTE_INVALID_HANDLE);
}

TEST_F(StandInKsp, KeepsEachProvidersKeysApartAndAcrossHandles) {
  OpenProvider(MS_PLATFORM_CRYPTO_PROVIDER);
  CreateKey(L"Shared Name/With:odd chars");
  uint8_t created[72], reopened[72];
  DWORD length = 0;
  ASSERT_EQ(NCryptExportKey(key_, 0, BCRYPT_ECCPUBLIC_BLOB, nullptr, created, sizeof(created), &length, 0),
            ERROR_SUCCESS);
  NCryptFreeObject(key_);
  key_ = 0;
  ASSERT_EQ(NCryptOpenKey(provider_, &key_, L"Shared Name/With:odd chars", 0, 0), ERROR_SUCCESS);
  ASSERT_EQ(NCryptExportKey(key_, 0, BCRYPT_ECCPUBLIC_BLOB, nullptr, reopened, sizeof(reopened), &length, 0),
            ERROR_SUCCESS);
  EXPECT_EQ(memcmp(created, reopened, sizeof(created)), 0);

  NCRYPT_PROV_HANDLE software = 0;
  NCRYPT_KEY_HANDLE missing = 0;
  ASSERT_EQ(NCryptOpenStorageProvider(&software, MS_KEY_STORAGE_PROVIDER, 0), ERROR_SUCCESS);
  EXPECT_EQ(NCryptOpenKey(software, &missing, L"Shared Name/With:odd chars", 0, 0), NTE_BAD_KEYSET);
  NCryptFreeObject(software);
}

TEST_F(StandInKsp, RefusesToOpenAnyProviderWithASettingItDoesNotKnow) {
  for (const wchar_t* settings : {L"platform=unavaliable", L"colour=blue", L"software", L"platform=normal;x=1"}) {
    SetEnvironmentVariableW(L"ZARNELGUARD_STANDIN_KSP", (L"store=" + store_ + L";" + settings).c_str());
    NCRYPT_PROV_HANDLE provider = 0;
    EXPECT_NE(NCryptOpenStorageProvider(&provider, MS_KEY_STORAGE_PROVIDER, 0), ERROR_SUCCESS);
    EXPECT_EQ(provider, 0u);
  }
}
}  // namespace
