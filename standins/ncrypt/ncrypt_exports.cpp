// A stand-in for the two Windows key storage providers that the guard uses,
// for test and demo environments under Wine, whose own ncrypt cannot persist
// or sign with ECDSA keys. Keys are made and used by bcrypt and kept per
// user on disk (key_file.h); each provider has its own store. Never shipped.
#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>

#include <cstring>
#include <cwchar>
#include <vector>

#include "key_file.h"
#include "standin_objects.h"
#include "standin_settings.h"

namespace {
constexpr ULONG kEcdhPublicP256Magic = 0x314B4345;  // "ECK1": what blob-magic answers

struct Curve {
  const wchar_t* algorithmName;  // as NCrypt names it
  const wchar_t* bcryptAlgorithm;
  uint32_t bits;
};
constexpr Curve kCurves[] = {
    {L"ECDSA_P256", BCRYPT_ECDSA_P256_ALGORITHM, 256},
    {L"ECDSA_P384", BCRYPT_ECDSA_P384_ALGORITHM, 384},
};

const Curve* CurveByName(const wchar_t* name) {
  for (const Curve& curve : kCurves)
    if (_wcsicmp(curve.algorithmName, name) == 0) return &curve;
  return nullptr;
}
const Curve* CurveByBits(uint32_t bits) {
  for (const Curve& curve : kCurves)
    if (curve.bits == bits) return &curve;
  return nullptr;
}
DWORD CurveBytes(uint32_t bits) { return (bits + 7) / 8; }

// The size-query and copy convention of every NCrypt output.
SECURITY_STATUS CopyOut(const void* value, DWORD size, PBYTE output, DWORD outputSize, DWORD* resultSize) {
  *resultSize = size;
  if (!output) return ERROR_SUCCESS;
  if (outputSize < size) return NTE_BUFFER_TOO_SMALL;
  std::memcpy(output, value, size);
  return ERROR_SUCCESS;
}

SECURITY_STATUS CopyText(const wchar_t* text, PBYTE output, DWORD outputSize, DWORD* resultSize) {
  return CopyOut(text, static_cast<DWORD>((std::wcslen(text) + 1) * sizeof(wchar_t)), output, outputSize, resultSize);
}

const wchar_t* ProviderName(ProviderId id) {
  return id == ProviderId::kPlatform ? MS_PLATFORM_CRYPTO_PROVIDER : MS_KEY_STORAGE_PROVIDER;
}

// Loads the private blob into bcrypt, or (for a new key) generates one.
bool AttachBcryptKey(KeyObject& key, const StoredKey* stored) {
  const Curve* curve = CurveByBits(key.curveBits);
  if (!curve || BCryptOpenAlgorithmProvider(&key.algorithm, curve->bcryptAlgorithm, nullptr, 0) != 0) return false;
  if (stored)
    return BCryptImportKeyPair(key.algorithm, nullptr, BCRYPT_ECCPRIVATE_BLOB, &key.key,
                               const_cast<PUCHAR>(stored->privateBlob.data()),
                               static_cast<ULONG>(stored->privateBlob.size()), 0) == 0;
  return BCryptGenerateKeyPair(key.algorithm, &key.key, curve->bits, 0) == 0 && BCryptFinalizeKeyPair(key.key, 0) == 0;
}

bool ExportBcryptBlob(BCRYPT_KEY_HANDLE key, const wchar_t* type, std::vector<uint8_t>& blob) {
  ULONG size = 0;
  if (BCryptExportKey(key, nullptr, type, nullptr, 0, &size, 0) != 0) return false;
  blob.resize(size);
  return BCryptExportKey(key, nullptr, type, blob.data(), size, &size, 0) == 0 && size == blob.size();
}

void Wipe(std::vector<uint8_t>& bytes) {
  if (!bytes.empty()) SecureZeroMemory(bytes.data(), bytes.size());
}

KeyObject* NewKeyObject(const ProviderObject& provider, const wchar_t* keyName) {
  auto key = new KeyObject;
  key->type = ObjectType::kKey;
  key->id = provider.id;
  key->behaviour = provider.settings.behaviours[static_cast<int>(provider.id)];
  key->path = KeyFilePath(ProviderStoreDirectory(provider.settings, provider.id), keyName);
  key->name = keyName;
  return key;
}

void DeleteUnregisteredKey(KeyObject* key) {
  if (key->key) BCryptDestroyKey(key->key);
  if (key->algorithm) BCryptCloseAlgorithmProvider(key->algorithm, 0);
  delete key;
}

SECURITY_STATUS GetKeyProperty(const KeyObject& key, const wchar_t* property, PBYTE output, DWORD outputSize,
                               DWORD* resultSize) {
  const Curve* curve = CurveByBits(key.curveBits);
  if (_wcsicmp(property, NCRYPT_ALGORITHM_PROPERTY) == 0) {
    if (key.behaviour == Behaviour::kAlgorithmOther) return CopyText(L"ECDH_P256", output, outputSize, resultSize);
    if (key.behaviour == Behaviour::kAlgorithmCase) return CopyText(L"ecdsa_P256", output, outputSize, resultSize);
    return CopyText(curve->algorithmName, output, outputSize, resultSize);
  }
  if (_wcsicmp(property, NCRYPT_ALGORITHM_GROUP_PROPERTY) == 0)
    return CopyText(NCRYPT_ECDSA_ALGORITHM_GROUP, output, outputSize, resultSize);
  if (_wcsicmp(property, NCRYPT_NAME_PROPERTY) == 0) return CopyText(key.name.c_str(), output, outputSize, resultSize);
  if (_wcsicmp(property, NCRYPT_LENGTH_PROPERTY) == 0) {
    DWORD bits = key.curveBits;
    return CopyOut(&bits, sizeof(bits), output, outputSize, resultSize);
  }
  if (_wcsicmp(property, NCRYPT_EXPORT_POLICY_PROPERTY) == 0) {
    DWORD policy = key.behaviour == Behaviour::kPolicyNonzero ? NCRYPT_ALLOW_EXPORT_FLAG : key.exportPolicy;
    if (key.behaviour == Behaviour::kPolicyShort) {
      WORD shortPolicy = static_cast<WORD>(policy);
      return CopyOut(&shortPolicy, sizeof(shortPolicy), output, outputSize, resultSize);
    }
    if (key.behaviour == Behaviour::kPolicyLong) {
      // Copies what fits, then claims the whole 8 bytes with success.
      ULONGLONG longPolicy = policy;
      SECURITY_STATUS status = CopyOut(&longPolicy, outputSize < 8 ? outputSize : 8, output, outputSize, resultSize);
      *resultSize = 8;
      return status;
    }
    return CopyOut(&policy, sizeof(policy), output, outputSize, resultSize);
  }
  return NTE_NOT_SUPPORTED;
}

void DistortPublicBlob(Behaviour behaviour, std::vector<uint8_t>& blob) {
  auto header = reinterpret_cast<BCRYPT_ECCKEY_BLOB*>(blob.data());
  if (behaviour == Behaviour::kBlobSize) blob.resize(blob.size() + 32, 0);
  if (behaviour == Behaviour::kBlobMagic) header->dwMagic = kEcdhPublicP256Magic;
  if (behaviour == Behaviour::kBlobKeyLength) header->cbKey = 48;
}
}  // namespace

extern "C" {

SECURITY_STATUS WINAPI NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE* phProvider, LPCWSTR pszProviderName,
                                                 DWORD dwFlags) {
  CountCall();
  if (!phProvider) return NTE_INVALID_PARAMETER;
  *phProvider = 0;
  if (dwFlags != 0) return NTE_BAD_FLAGS;
  ProviderId id;
  if (!pszProviderName || _wcsicmp(pszProviderName, MS_KEY_STORAGE_PROVIDER) == 0)
    id = ProviderId::kSoftware;
  else if (_wcsicmp(pszProviderName, MS_PLATFORM_CRYPTO_PROVIDER) == 0)
    id = ProviderId::kPlatform;
  else
    return NTE_PROV_DLL_NOT_FOUND;

  StandInSettings settings = ReadStandInSettings();
  // A setting the stand-in does not understand fails every open, so that a
  // mistyped test setting cannot pass as a working provider.
  if (!settings.valid) return NTE_PROVIDER_DLL_FAIL;
  if (settings.behaviours[static_cast<int>(id)] == Behaviour::kUnavailable) return NTE_DEVICE_NOT_FOUND;

  auto provider = new ProviderObject;
  provider->type = ObjectType::kProvider;
  provider->id = id;
  provider->settings = settings;
  *phProvider = RegisterObject(provider);
  return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI NCryptOpenKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey, LPCWSTR pszKeyName,
                                     DWORD dwLegacyKeyUsage, DWORD dwFlags) {
  CountCall();
  ProviderObject* provider = FindProvider(hProvider);
  if (!provider) return NTE_INVALID_HANDLE;
  if (!phKey || !pszKeyName || !*pszKeyName) return NTE_INVALID_PARAMETER;
  *phKey = 0;
  if (dwFlags & ~(NCRYPT_SILENT_FLAG | NCRYPT_MACHINE_KEY_FLAG)) return NTE_BAD_FLAGS;
  if ((dwFlags & NCRYPT_MACHINE_KEY_FLAG) || dwLegacyKeyUsage != 0) return NTE_NOT_SUPPORTED;

  KeyObject* key = NewKeyObject(*provider, pszKeyName);
  StoredKey stored;
  SECURITY_STATUS status = LoadKeyFile(key->path, stored);
  if (status == ERROR_SUCCESS) {
    key->curveBits = stored.curveBits;
    key->exportPolicy = key->storedExportPolicy = stored.exportPolicy;
    key->finalized = true;
    if (!AttachBcryptKey(*key, &stored)) status = NTE_BAD_DATA;
  }
  if (status != ERROR_SUCCESS) {
    DeleteUnregisteredKey(key);
    return status;
  }
  *phKey = RegisterObject(key);
  return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI NCryptCreatePersistedKey(NCRYPT_PROV_HANDLE hProvider, NCRYPT_KEY_HANDLE* phKey,
                                                LPCWSTR pszAlgId, LPCWSTR pszKeyName, DWORD dwLegacyKeyUsage,
                                                DWORD dwFlags) {
  CountCall();
  ProviderObject* provider = FindProvider(hProvider);
  if (!provider) return NTE_INVALID_HANDLE;
  if (!phKey || !pszAlgId) return NTE_INVALID_PARAMETER;
  *phKey = 0;
  if (dwFlags & ~(NCRYPT_SILENT_FLAG | NCRYPT_MACHINE_KEY_FLAG | NCRYPT_OVERWRITE_KEY_FLAG)) return NTE_BAD_FLAGS;
  // Only named per-user keys: ephemeral and machine keys are not offered.
  if (!pszKeyName || !*pszKeyName || (dwFlags & NCRYPT_MACHINE_KEY_FLAG) || dwLegacyKeyUsage != 0)
    return NTE_NOT_SUPPORTED;
  if (provider->settings.behaviours[static_cast<int>(provider->id)] == Behaviour::kNotCreatable)
    return NTE_DEVICE_NOT_READY;
  const Curve* curve = CurveByName(pszAlgId);
  if (!curve) return NTE_NOT_SUPPORTED;

  KeyObject* key = NewKeyObject(*provider, pszKeyName);
  bool overwrite = (dwFlags & NCRYPT_OVERWRITE_KEY_FLAG) != 0;
  if (!overwrite && KeyFileExists(key->path)) {
    DeleteUnregisteredKey(key);
    return NTE_EXISTS;
  }
  key->curveBits = curve->bits;
  key->overwrite = overwrite;
  *phKey = RegisterObject(key);
  return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI NCryptSetProperty(NCRYPT_HANDLE hObject, LPCWSTR pszProperty, PBYTE pbInput, DWORD cbInput,
                                         DWORD dwFlags) {
  CountCall();
  KeyObject* key = FindKey(hObject);
  if (!key) return FindProvider(hObject) ? NTE_NOT_SUPPORTED : NTE_INVALID_HANDLE;
  if (!pszProperty || (!pbInput && cbInput)) return NTE_INVALID_PARAMETER;
  if (dwFlags & ~(NCRYPT_PERSIST_FLAG | NCRYPT_SILENT_FLAG)) return NTE_BAD_FLAGS;
  if (_wcsicmp(pszProperty, NCRYPT_EXPORT_POLICY_PROPERTY) != 0) return NTE_NOT_SUPPORTED;
  if (cbInput != sizeof(DWORD)) return NTE_INVALID_PARAMETER;
  DWORD policy;
  std::memcpy(&policy, pbInput, sizeof(policy));
  constexpr DWORD kKnownPolicy = NCRYPT_ALLOW_EXPORT_FLAG | NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG |
                                 NCRYPT_ALLOW_ARCHIVING_FLAG | NCRYPT_ALLOW_PLAINTEXT_ARCHIVING_FLAG;
  if (policy & ~kKnownPolicy) return NTE_INVALID_PARAMETER;
  // A finalised key's policy can no longer be changed.
  if (key->finalized) return NTE_PERM;
  key->exportPolicy = policy;
  if (dwFlags & NCRYPT_PERSIST_FLAG) key->storedExportPolicy = policy;
  return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI NCryptFinalizeKey(NCRYPT_KEY_HANDLE hKey, DWORD dwFlags) {
  CountCall();
  KeyObject* key = FindKey(hKey);
  if (!key) return NTE_INVALID_HANDLE;
  if (dwFlags & ~(NCRYPT_SILENT_FLAG | NCRYPT_NO_KEY_VALIDATION)) return NTE_BAD_FLAGS;
  if (key->finalized) return NTE_BAD_KEY_STATE;
  StoredKey stored;
  stored.curveBits = key->curveBits;
  stored.exportPolicy = key->storedExportPolicy;
  if (!AttachBcryptKey(*key, nullptr) || !ExportBcryptBlob(key->key, BCRYPT_ECCPRIVATE_BLOB, stored.privateBlob))
    return NTE_FAIL;
  SECURITY_STATUS status = SaveKeyFile(key->path, stored, key->overwrite);
  if (status != ERROR_SUCCESS) return status;
  key->finalized = true;
  CountCreatedKey();
  return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI NCryptGetProperty(NCRYPT_HANDLE hObject, LPCWSTR pszProperty, PBYTE pbOutput,
                                         DWORD cbOutput, DWORD* pcbResult, DWORD dwFlags) {
  CountCall();
  KeyObject* key = FindKey(hObject);
  ProviderObject* provider = key ? nullptr : FindProvider(hObject);
  if (!key && !provider) return NTE_INVALID_HANDLE;
  if (!pszProperty || !pcbResult) return NTE_INVALID_PARAMETER;
  if (dwFlags & ~NCRYPT_SILENT_FLAG) return NTE_BAD_FLAGS;
  if (key) return GetKeyProperty(*key, pszProperty, pbOutput, cbOutput, pcbResult);
  if (_wcsicmp(pszProperty, NCRYPT_NAME_PROPERTY) == 0)
    return CopyText(ProviderName(provider->id), pbOutput, cbOutput, pcbResult);
  return NTE_NOT_SUPPORTED;
}

SECURITY_STATUS WINAPI NCryptExportKey(NCRYPT_KEY_HANDLE hKey, NCRYPT_KEY_HANDLE hExportKey, LPCWSTR pszBlobType,
                                       NCryptBufferDesc* pParameterList, PBYTE pbOutput, DWORD cbOutput,
                                       DWORD* pcbResult, DWORD dwFlags) {
  CountCall();
  KeyObject* key = FindKey(hKey);
  if (!key) return NTE_INVALID_HANDLE;
  if (!pszBlobType || !pcbResult) return NTE_INVALID_PARAMETER;
  if (dwFlags & ~NCRYPT_SILENT_FLAG) return NTE_BAD_FLAGS;
  if (hExportKey || pParameterList) return NTE_NOT_SUPPORTED;
  if (!key->finalized) return NTE_BAD_KEY_STATE;

  std::vector<uint8_t> blob;
  bool isPublic = _wcsicmp(pszBlobType, BCRYPT_ECCPUBLIC_BLOB) == 0 || _wcsicmp(pszBlobType, BCRYPT_PUBLIC_KEY_BLOB) == 0;
  bool isPrivate =
      _wcsicmp(pszBlobType, BCRYPT_ECCPRIVATE_BLOB) == 0 || _wcsicmp(pszBlobType, BCRYPT_PRIVATE_KEY_BLOB) == 0;
  if (!isPublic && !isPrivate) return NTE_INVALID_PARAMETER;
  if (isPrivate && !(key->exportPolicy & NCRYPT_ALLOW_PLAINTEXT_EXPORT_FLAG)) return NTE_PERM;
  if (!ExportBcryptBlob(key->key, isPublic ? BCRYPT_ECCPUBLIC_BLOB : BCRYPT_ECCPRIVATE_BLOB, blob)) {
    Wipe(blob);
    return NTE_FAIL;
  }
  if (isPublic) DistortPublicBlob(key->behaviour, blob);
  SECURITY_STATUS status = CopyOut(blob.data(), static_cast<DWORD>(blob.size()), pbOutput, cbOutput, pcbResult);
  if (status == ERROR_SUCCESS && pbOutput && isPublic && key->behaviour == Behaviour::kBlobShortWrite) *pcbResult -= 8;
  Wipe(blob);
  return status;
}

SECURITY_STATUS WINAPI NCryptSignHash(NCRYPT_KEY_HANDLE hKey, VOID* pPaddingInfo, PBYTE pbHashValue,
                                      DWORD cbHashValue, PBYTE pbSignature, DWORD cbSignature, DWORD* pcbResult,
                                      DWORD dwFlags) {
  CountCall();
  KeyObject* key = FindKey(hKey);
  if (!key) return NTE_INVALID_HANDLE;
  if (!pbHashValue || cbHashValue == 0 || !pcbResult || pPaddingInfo) return NTE_INVALID_PARAMETER;
  if (dwFlags & ~NCRYPT_SILENT_FLAG) return NTE_BAD_FLAGS;
  if (!key->finalized) return NTE_BAD_KEY_STATE;
  DWORD size = 2 * CurveBytes(key->curveBits);
  *pcbResult = size;
  if (!pbSignature) return ERROR_SUCCESS;
  if (cbSignature < size) return NTE_BUFFER_TOO_SMALL;
  ULONG written = 0;
  if (BCryptSignHash(key->key, nullptr, pbHashValue, cbHashValue, pbSignature, size, &written, 0) != 0 ||
      written != size) {
    *pcbResult = 0;
    return NTE_FAIL;
  }
  if (key->behaviour == Behaviour::kSignatureShort) *pcbResult = size - 1;
  if (key->behaviour == Behaviour::kSignatureZero) SecureZeroMemory(pbSignature, size);
  return ERROR_SUCCESS;
}

SECURITY_STATUS WINAPI NCryptFreeObject(NCRYPT_HANDLE hObject) {
  CountCall();
  return DestroyObject(hObject) ? ERROR_SUCCESS : NTE_INVALID_HANDLE;
}

// The stand-in's own exports, for tests that look at it from inside the
// process (GetProcAddress on the loaded ncrypt.dll).
LONG WINAPI StandInKspOpenObjectCount(void) { return OpenObjectCount(); }
LONG WINAPI StandInKspCreatedKeyCount(void) { return CreatedKeyCount(); }
LONG WINAPI StandInKspCallCount(void) { return CallCount(); }

}  // extern "C"
