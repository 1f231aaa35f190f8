#pragma once
// What the hard-cheat and monitor tests share: a device key that signs for
// real (a bcrypt P-256 key behind faked NCrypt calls), the fatal exit caught
// as an exception instead of ending the test program, and an independent
// SHA-256 and signature check.
#include <gtest/gtest.h>
#include <windows.h>
#include <bcrypt.h>

#include <cstring>
#include <string>
#include <vector>

#include "ZarnelGuard.h"
#include "checks/fatal_exit.h"
#include "checks/finding_texts.h"
#include "proofs/device_key_store.h"
#include "proofs/hard_cheat_protocol.h"
#include "test_support.h"

// Thrown by the faked TerminateProcess: the fatal exit "ended the process".
struct ProcessEnded {
  UINT exitCode;
};

namespace hard_cheat_test {

// The violation code that the fatal exit passed to the error helper, read
// from the helper's command line (the launch itself is made to fail).
inline std::wstring& HelperCode() {
  static std::wstring code;
  return code;
}
inline int& HelperLaunches() {
  static int launches;
  return launches;
}

inline BOOL WINAPI EndByThrowing(HANDLE, UINT exitCode) { throw ProcessEnded{exitCode}; }

inline BOOL WINAPI RecordHelperLaunch(LPCWSTR, LPWSTR commandLine, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES, BOOL,
                                      DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW, LPPROCESS_INFORMATION) {
  ++HelperLaunches();
  std::wstring line = commandLine ? commandLine : L"";
  const std::wstring marker = L" --guard-error ";
  size_t at = line.find(marker);
  HelperCode() = at == std::wstring::npos ? L"" : line.substr(at + marker.size(), line.rfind(L' ') - at - marker.size());
  SetLastError(ERROR_FILE_NOT_FOUND);
  return FALSE;
}

// The fatal exit runs as in the client (guard running, helper "started"),
// but ends in an exception the test catches.
inline void CatchFatalExit() {
  HelperCode().clear();
  HelperLaunches() = 0;
  SetGuardRunning(true);
  win32Calls.TerminateProcess = EndByThrowing;
  win32Calls.CreateProcessW = RecordHelperLaunch;
}

// ---- a device key that signs for real ----
inline BCRYPT_KEY_HANDLE& TestKey() {
  static BCRYPT_KEY_HANDLE key;
  return key;
}
constexpr NCRYPT_KEY_HANDLE kFakeKeyHandle = 0x5EC0;
constexpr NCRYPT_PROV_HANDLE kFakeProviderHandle = 0x5EC1;

inline SECURITY_STATUS WINAPI ExportTestKey(NCRYPT_KEY_HANDLE key, NCRYPT_KEY_HANDLE, LPCWSTR blobType,
                                            NCryptBufferDesc*, PBYTE output, DWORD outputSize, DWORD* resultSize,
                                            DWORD) {
  if (key != kFakeKeyHandle || std::wcscmp(blobType, BCRYPT_ECCPUBLIC_BLOB) != 0) return NTE_INVALID_HANDLE;
  ULONG size = 0;
  NTSTATUS status = BCryptExportKey(TestKey(), nullptr, BCRYPT_ECCPUBLIC_BLOB, output, output ? outputSize : 0, &size, 0);
  *resultSize = size;
  return status == 0 ? ERROR_SUCCESS : NTE_FAIL;
}

inline SECURITY_STATUS WINAPI SignWithTestKey(NCRYPT_KEY_HANDLE key, VOID* padding, PBYTE digest, DWORD digestSize,
                                              PBYTE signature, DWORD signatureSize, DWORD* resultSize, DWORD) {
  if (key != kFakeKeyHandle || padding) return NTE_INVALID_HANDLE;
  ULONG size = 0;
  NTSTATUS status = BCryptSignHash(TestKey(), nullptr, digest, digestSize, signature, signatureSize, &size, 0);
  *resultSize = size;
  return status == 0 ? ERROR_SUCCESS : NTE_FAIL;
}

inline SECURITY_STATUS WINAPI FailSigning(NCRYPT_KEY_HANDLE, VOID*, PBYTE, DWORD, PBYTE, DWORD, DWORD* resultSize,
                                          DWORD) {
  *resultSize = 0;
  return NTE_FAIL;
}

// Publishes the test key in the device key slot (software provider kind).
inline bool PublishTestDeviceKey(uint32_t kind = kDeviceKeyKindSoftware) {
  if (!TestKey()) {
    BCRYPT_ALG_HANDLE ecdsa = nullptr;
    if (BCryptOpenAlgorithmProvider(&ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) != 0) return false;
    BCRYPT_KEY_HANDLE key = nullptr;
    bool made = BCryptGenerateKeyPair(ecdsa, &key, 256, 0) == 0 && BCryptFinalizeKeyPair(key, 0) == 0;
    if (made) TestKey() = key;
  }
  if (!TestKey()) return false;
  win32Calls.NCryptExportKey = ExportTestKey;
  win32Calls.NCryptSignHash = SignWithTestKey;
  guard.deviceKeyProvider = kFakeProviderHandle;
  guard.deviceKey = kFakeKeyHandle;
  guard.deviceKeyKind = kind;
  return true;
}

// ---- independent checks ----
inline std::vector<uint8_t> Sha256(const std::vector<uint8_t>& data) {
  std::vector<uint8_t> digest(32);
  BCRYPT_ALG_HANDLE sha = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  bool ok = BCryptOpenAlgorithmProvider(&sha, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
            BCryptCreateHash(sha, &hash, nullptr, 0, nullptr, 0, 0) == 0 &&
            BCryptHashData(hash, const_cast<uint8_t*>(data.data()), static_cast<ULONG>(data.size()), 0) == 0 &&
            BCryptFinishHash(hash, digest.data(), 32, 0) == 0;
  if (hash) BCryptDestroyHash(hash);
  if (sha) BCryptCloseAlgorithmProvider(sha, 0);
  if (!ok) digest.clear();
  return digest;
}

inline bool VerifySignature(const uint8_t* publicKey, const std::vector<uint8_t>& record, const uint8_t* signature) {
  std::vector<uint8_t> digest = Sha256(record);
  if (digest.size() != 32) return false;
  BCRYPT_ALG_HANDLE ecdsa = nullptr;
  BCRYPT_KEY_HANDLE key = nullptr;
  bool ok = BCryptOpenAlgorithmProvider(&ecdsa, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0) == 0 &&
            BCryptImportKeyPair(ecdsa, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key, const_cast<uint8_t*>(publicKey), 72, 0) ==
                0 &&
            BCryptVerifySignature(key, nullptr, digest.data(), 32, const_cast<uint8_t*>(signature), 64, 0) == 0;
  if (key) BCryptDestroyKey(key);
  if (ecdsa) BCryptCloseAlgorithmProvider(ecdsa, 0);
  return ok;
}

// ---- a challenge as the server issues it ----
struct Challenge {
  uint16_t version = 1;
  uint32_t build = 62;
  uint8_t id[16];
  uint8_t nonce[32];
  explicit Challenge(uint8_t seed = 0x10) {
    for (int i = 0; i < 16; ++i) id[i] = static_cast<uint8_t>(seed + i);
    for (int i = 0; i < 32; ++i) nonce[i] = static_cast<uint8_t>(seed + 0x40 + i);
  }
  uint32_t Set() const { return ZarnelGuardSetHardCheatChallenge(version, build, id, nonce); }
};

// The start-up counts as done, so Set works on the hard-cheat state alone.
inline BOOL CALLBACK StartedAlready(PINIT_ONCE, PVOID, PVOID*) { return TRUE; }
inline void MarkStartupDone() { InitOnceExecuteOnce(&guard.startupOnce, StartedAlready, nullptr, nullptr); }

// Report identifiers drawn by the guard come from here, so tests know them.
inline uint8_t& ReportIdSeed() {
  static uint8_t seed = 0xA0;
  return seed;
}
inline NTSTATUS WINAPI PredictableRandom(BCRYPT_ALG_HANDLE, PUCHAR buffer, ULONG size, ULONG flags) {
  if (flags != BCRYPT_USE_SYSTEM_PREFERRED_RNG) return static_cast<NTSTATUS>(0xC000000D);
  for (ULONG i = 0; i < size; ++i) buffer[i] = static_cast<uint8_t>(ReportIdSeed() + i);
  return 0;
}

inline std::vector<uint8_t> TakeReport() {
  std::vector<uint8_t> report(300, 0xEE);
  uint32_t size = 0xFFFF;
  if (!ZarnelGuardTakeHardCheatReport(report.data(), static_cast<uint32_t>(report.size()), &size) || size != 241)
    return {};
  report.resize(size);
  return report;
}

inline uint64_t& ClockNow() {
  static uint64_t now;
  return now;
}
inline ULONGLONG WINAPI FakeTickCount64() { return ClockNow(); }

// A started guard with a device key, a clock and report identifiers that the
// test controls.
class HardCheatTest : public testing::Test {
 protected:
  void SetUp() override {
    MarkStartupDone();
    ASSERT_TRUE(PublishTestDeviceKey());
    ReportIdSeed() = 0xA0;
    win32Calls.BCryptGenRandom = PredictableRandom;
    ClockNow() = 100000;
    win32Calls.GetTickCount64 = FakeTickCount64;
  }
  static HardCheatState& State() { return guard.hardCheat; }
  static std::vector<uint8_t> StateBytes() {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&guard.hardCheat);
    return std::vector<uint8_t>(bytes, bytes + sizeof(guard.hardCheat));
  }
  static bool ConfirmDebugger() {
    return ConfirmHardCheatDetection(1, L"active-debugger", 0, L"AC-DEBUG-001", kDebuggerMessage);
  }
};

}  // namespace hard_cheat_test
