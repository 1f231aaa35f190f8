#pragma once
// One persisted key per file: <provider store>\<encoded key name>.key,
// holding the curve, the persisted export policy and the private key blob
// protected for the current Windows user (CryptProtectData).
#include <windows.h>
#include <ncrypt.h>

#include <cstdint>
#include <string>
#include <vector>

struct StoredKey {
  uint32_t curveBits = 0;      // 256 or 384
  DWORD exportPolicy = 0;      // NCRYPT_ALLOW_*_FLAG bits
  std::vector<uint8_t> privateBlob;  // BCRYPT_ECCPRIVATE_BLOB, wiped by the destructor
  ~StoredKey();
};

// Key names may hold any character; the file name keeps letters, digits,
// '-', '_' and '.', and writes every other code unit as ~xxxx.
std::wstring KeyFilePath(const std::wstring& storeDirectory, const wchar_t* keyName);

bool KeyFileExists(const std::wstring& path);

// NTE_BAD_KEYSET when there is no such key, NTE_BAD_DATA when the file is
// not a key of this store or cannot be unprotected for this user.
SECURITY_STATUS LoadKeyFile(const std::wstring& path, StoredKey& key);

// Creates the store directory as needed. Without `overwrite` an existing
// file is never replaced: NTE_EXISTS.
SECURITY_STATUS SaveKeyFile(const std::wstring& path, const StoredKey& key, bool overwrite);
