// The device key: found (or created on first use) in the first key storage
// provider that holds a usable one, and used only under deviceKeyLock. The
// guard never deletes, repairs or overwrites a persisted key: a key that
// fails the checks stays as it is and the next provider is tried.
#include "proofs/device_key_store.h"

#include "platform/record_bytes.h"
#include "platform/handle_owner.h"
#include "platform/win32_calls.h"

namespace {
constexpr wchar_t kDeviceKeyName[] = L"ZarnelGuardDeviceKeyV1";
constexpr wchar_t kDeviceKeyAlgorithm[] = L"ECDSA_P256";
constexpr uint32_t kDevicePublicKeyMagic = 0x31534345;  // "ECS1": an ECDSA P-256 public key
constexpr uint32_t kDeviceKeyLength = 32;
constexpr DWORD kAlgorithmNameBufferSize = 128;

struct ProviderChoice {
  const wchar_t* name;
  uint32_t kind;
};
constexpr ProviderChoice kProviderChoices[] = {
    {MS_PLATFORM_CRYPTO_PROVIDER, kDeviceKeyKindPlatform},
    {MS_KEY_STORAGE_PROVIDER, kDeviceKeyKindSoftware},
};

void FreeNCryptObject(NCRYPT_HANDLE& handle) {
  if (handle) {
    win32Calls.NCryptFreeObject(handle);
    handle = 0;
  }
}

uint32_t ReadLittleEndian32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

wchar_t FoldAsciiLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c + (L'a' - L'A')) : c; }

// The provider's text ends at its first terminator or at the reported
// length, whichever comes first; it never reaches past the buffer.
bool IsDeviceKeyAlgorithmName(const wchar_t* text, DWORD lengthInBytes) {
  DWORD available = (lengthInBytes < kAlgorithmNameBufferSize ? lengthInBytes : kAlgorithmNameBufferSize) / 2;
  DWORD textLength = 0;
  while (textLength < available && text[textLength] != L'\0') ++textLength;
  const DWORD expectedLength = static_cast<DWORD>(sizeof(kDeviceKeyAlgorithm) / sizeof(wchar_t) - 1);
  if (textLength != expectedLength) return false;
  for (DWORD i = 0; i < textLength; ++i)
    if (FoldAsciiLetter(text[i]) != FoldAsciiLetter(kDeviceKeyAlgorithm[i])) return false;
  return true;
}

// A new key is per-user, never replaces one of the same name (no overwrite
// flag), and is made non-exportable before it is finalised. A key half made
// stays with `key`, whose owner frees it; a failed create owns nothing.
bool CreateDeviceKey(NCRYPT_PROV_HANDLE provider, NCryptObjectOwner& key) {
  if (!key.KeepIf(win32Calls.NCryptCreatePersistedKey(provider, key.Receive(), kDeviceKeyAlgorithm, kDeviceKeyName, 0,
                                                      0) == ERROR_SUCCESS))
    return false;
  DWORD exportPolicy = 0;
  if (win32Calls.NCryptSetProperty(key.Get(), NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<PBYTE>(&exportPolicy),
                                   sizeof(exportPolicy), NCRYPT_PERSIST_FLAG | NCRYPT_SILENT_FLAG) != ERROR_SUCCESS)
    return false;
  return win32Calls.NCryptFinalizeKey(key.Get(), NCRYPT_SILENT_FLAG) == ERROR_SUCCESS;
}

bool VerifyDeviceKey(NCRYPT_KEY_HANDLE key) {
  wchar_t algorithm[kAlgorithmNameBufferSize / sizeof(wchar_t)] = {};
  DWORD length = 0;
  if (win32Calls.NCryptGetProperty(key, NCRYPT_ALGORITHM_PROPERTY, reinterpret_cast<PBYTE>(algorithm),
                                   kAlgorithmNameBufferSize, &length, NCRYPT_SILENT_FLAG) != ERROR_SUCCESS ||
      length < 2 || !IsDeviceKeyAlgorithmName(algorithm, length))
    return false;

  DWORD exportPolicy = 0;
  length = 0;
  if (win32Calls.NCryptGetProperty(key, NCRYPT_EXPORT_POLICY_PROPERTY, reinterpret_cast<PBYTE>(&exportPolicy),
                                   sizeof(exportPolicy), &length, NCRYPT_SILENT_FLAG) != ERROR_SUCCESS ||
      length != sizeof(exportPolicy) || exportPolicy != 0)
    return false;

  uint8_t publicKey[kDevicePublicKeySize];
  bool exported = ExportDevicePublicKey(key, publicKey);
  SecureZeroMemory(publicKey, sizeof(publicKey));
  return exported;
}
}  // namespace

bool OpenDeviceKey(const wchar_t* providerName, NCRYPT_PROV_HANDLE& provider, NCRYPT_KEY_HANDLE& key) {
  provider = 0;
  key = 0;
  // Released in reverse: the key before its provider.
  NCryptObjectOwner openedProvider;
  if (!openedProvider.KeepIf(win32Calls.NCryptOpenStorageProvider(openedProvider.Receive(), providerName, 0) ==
                             ERROR_SUCCESS))
    return false;

  // Whatever a failed open wrote into the key handle is not a key: it is
  // dropped unclosed, and a key created next starts from an empty owner.
  NCryptObjectOwner openedKey;
  SECURITY_STATUS status =
      win32Calls.NCryptOpenKey(openedProvider.Get(), openedKey.Receive(), kDeviceKeyName, 0, NCRYPT_SILENT_FLAG);
  bool usable = false;
  if (openedKey.KeepIf(status == ERROR_SUCCESS)) {
    usable = VerifyDeviceKey(openedKey.Get());
  } else if (status == NTE_BAD_KEYSET || status == NTE_NOT_FOUND) {
    usable = CreateDeviceKey(openedProvider.Get(), openedKey) && VerifyDeviceKey(openedKey.Get());
  }
  if (!usable) return false;
  provider = openedProvider.Release();
  key = openedKey.Release();
  return true;
}

bool AcquireDeviceKey() {
  for (const ProviderChoice& choice : kProviderChoices) {
    NCRYPT_PROV_HANDLE provider = 0;
    NCRYPT_KEY_HANDLE key = 0;
    if (!OpenDeviceKey(choice.name, provider, key)) continue;

    AcquireSRWLockExclusive(&guard.deviceKeyLock);
    // Only a start-up that skipped its undo could leave a key here; closing
    // it keeps the provider's handles from piling up.
    FreeNCryptObject(guard.deviceKey);
    FreeNCryptObject(guard.deviceKeyProvider);
    guard.deviceKeyProvider = provider;
    guard.deviceKey = key;
    guard.deviceKeyKind = choice.kind;
    ReleaseSRWLockExclusive(&guard.deviceKeyLock);
    return true;
  }
  return false;
}

bool ExportDevicePublicKey(NCRYPT_KEY_HANDLE key, uint8_t (&publicKey)[kDevicePublicKeySize]) {
  SecureZeroMemory(publicKey, sizeof(publicKey));
  if (!key) return false;
  DWORD size = 0;
  if (win32Calls.NCryptExportKey(key, 0, BCRYPT_ECCPUBLIC_BLOB, nullptr, nullptr, 0, &size, NCRYPT_SILENT_FLAG) !=
          ERROR_SUCCESS ||
      size != kDevicePublicKeySize)
    return false;
  DWORD written = 0;
  if (win32Calls.NCryptExportKey(key, 0, BCRYPT_ECCPUBLIC_BLOB, nullptr, publicKey, kDevicePublicKeySize, &written,
                                 NCRYPT_SILENT_FLAG) == ERROR_SUCCESS &&
      written == kDevicePublicKeySize && ReadLittleEndian32(publicKey) == kDevicePublicKeyMagic &&
      ReadLittleEndian32(publicKey + 4) == kDeviceKeyLength)
    return true;
  SecureZeroMemory(publicKey, sizeof(publicKey));
  return false;
}

bool SignWithDeviceKey(const uint8_t (&digest)[kDeviceDigestSize], uint8_t (&signature)[kDeviceSignatureSize]) {
  SecureZeroMemory(signature, sizeof(signature));
  if (!HasDeviceKey()) return false;
  DWORD length = 0;
  SECURITY_STATUS status =
      win32Calls.NCryptSignHash(guard.deviceKey, nullptr, const_cast<PBYTE>(digest), kDeviceDigestSize, signature,
                                kDeviceSignatureSize, &length, NCRYPT_SILENT_FLAG);
  if (status == ERROR_SUCCESS && length == kDeviceSignatureSize && !IsAllZeroBytes(signature, sizeof(signature)))
    return true;
  SecureZeroMemory(signature, sizeof(signature));
  return false;
}

void ReleaseDeviceKey() {
  AcquireSRWLockExclusive(&guard.deviceKeyLock);
  FreeNCryptObject(guard.deviceKey);
  FreeNCryptObject(guard.deviceKeyProvider);
  guard.deviceKeyKind = kDeviceKeyKindNone;
  ReleaseSRWLockExclusive(&guard.deviceKeyLock);
}
