#pragma once
// Tests that reach the key storage providers through the stand-in ncrypt.dll
// in the prefix's system directory (loaded instead of Wine's through
// WINEDLLOVERRIDES=ncrypt=n,b), the one library the guard loads. Each test gets its own key store directory
// and leaves the slot released; TearDown checks that nothing stayed open.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "platform/system_library_calls.h"
#include "directory_tree.h"
#include "proofs/device_key_store.h"
#include "test_support.h"

class StandInKspTest : public testing::Test {
 protected:
  using Counter = LONG(WINAPI*)();

  void SetUp() override {
    HMODULE ncrypt = LoadSystemLibrary(kSystemLibraryNcrypt);
    openObjects_ = ncrypt ? reinterpret_cast<Counter>(GetProcAddress(ncrypt, "StandInKspOpenObjectCount")) : nullptr;
    createdKeys_ = ncrypt ? reinterpret_cast<Counter>(GetProcAddress(ncrypt, "StandInKspCreatedKeyCount")) : nullptr;
    calls_ = ncrypt ? reinterpret_cast<Counter>(GetProcAddress(ncrypt, "StandInKspCallCount")) : nullptr;
    ASSERT_TRUE(openObjects_ && createdKeys_ && calls_)
        << "the stand-in ncrypt.dll must lie in the prefix's system directory, loaded with "
           "WINEDLLOVERRIDES=ncrypt=n,b";
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    static LONG counter = 0;
    wchar_t name[64];
    swprintf(name, 64, L"zg-ksp-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
    store_ = std::wstring(base) + name;
    RemoveDirectoryTree(store_);
    UseBehaviours(L"normal", L"normal");
    baselineObjects_ = openObjects_();
    baselineCreated_ = createdKeys_();
  }

  void TearDown() override {
    if (!openObjects_) return;
    ReleaseDeviceKey();
    EXPECT_EQ(openObjects_(), baselineObjects_) << "a provider or key handle stayed open";
    SetEnvironmentVariableW(L"ZARNELGUARD_STANDIN_KSP", nullptr);
    RemoveDirectoryTree(store_);
  }

  // How the stand-in's two providers behave from the next provider open on.
  void UseBehaviours(const std::wstring& platform, const std::wstring& software) {
    std::wstring settings = L"store=" + store_ + L";platform=" + platform + L";software=" + software;
    SetEnvironmentVariableW(L"ZARNELGUARD_STANDIN_KSP", settings.c_str());
  }

  std::wstring KeyFile(bool platform) const {
    return store_ + (platform ? L"\\platform" : L"\\software") + L"\\ZarnelGuardDeviceKeyV1.key";
  }

  LONG OpenObjects() const { return openObjects_() - baselineObjects_; }
  LONG CreatedKeys() const { return createdKeys_() - baselineCreated_; }  // by this test
  LONG Calls() const { return calls_(); }

  // The public key of the key in the slot, as a signer reads it.
  static std::vector<uint8_t> SlotPublicKey() {
    uint8_t publicKey[kDevicePublicKeySize];
    AcquireSRWLockExclusive(&guard.deviceKeyLock);
    bool exported = HasDeviceKey() && ExportDevicePublicKey(guard.deviceKey, publicKey);
    ReleaseSRWLockExclusive(&guard.deviceKeyLock);
    return exported ? std::vector<uint8_t>(publicKey, publicKey + sizeof(publicKey)) : std::vector<uint8_t>();
  }

  std::wstring store_;

 private:
  Counter openObjects_ = nullptr;
  Counter createdKeys_ = nullptr;
  Counter calls_ = nullptr;
  LONG baselineObjects_ = 0;
  LONG baselineCreated_ = 0;
};
