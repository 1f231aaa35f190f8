#include "key_file.h"

#include <wincrypt.h>

#include <cstring>

namespace {
constexpr char kFileMagic[8] = {'Z', 'G', 'K', 'S', 'P', 'v', '1', '\0'};
constexpr wchar_t kProtectionDescription[] = L"ZarnelGuard stand-in key";
constexpr size_t kHeaderSize = 8 + 4 + 4 + 4;
constexpr DWORD kMaxFileSize = 64 * 1024;

void PutLittleEndian32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}
uint32_t GetLittleEndian32(const uint8_t* at) {
  return static_cast<uint32_t>(at[0]) | static_cast<uint32_t>(at[1]) << 8 | static_cast<uint32_t>(at[2]) << 16 |
         static_cast<uint32_t>(at[3]) << 24;
}

void CreateDirectoryChain(const std::wstring& directory) {
  for (size_t i = 0; i <= directory.size(); ++i) {
    if (i == directory.size() || directory[i] == L'\\' || directory[i] == L'/') {
      std::wstring prefix = directory.substr(0, i);
      if (!prefix.empty() && prefix.back() != L':') CreateDirectoryW(prefix.c_str(), nullptr);
    }
  }
}

bool ReadWholeFile(const std::wstring& path, std::vector<uint8_t>& bytes, DWORD& error) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = GetLastError();
    return false;
  }
  LARGE_INTEGER size = {};
  bool ok = GetFileSizeEx(file, &size) && size.QuadPart <= kMaxFileSize;
  if (ok) {
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    ok = bytes.empty() || (ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
                           read == bytes.size());
  }
  error = ok ? 0 : ERROR_INVALID_DATA;
  CloseHandle(file);
  return ok;
}
}  // namespace

StoredKey::~StoredKey() {
  if (!privateBlob.empty()) SecureZeroMemory(privateBlob.data(), privateBlob.size());
}

std::wstring KeyFilePath(const std::wstring& storeDirectory, const wchar_t* keyName) {
  static const wchar_t kHex[] = L"0123456789abcdef";
  std::wstring path = storeDirectory + L"\\";
  for (const wchar_t* c = keyName; *c; ++c) {
    bool plain = (*c >= L'a' && *c <= L'z') || (*c >= L'A' && *c <= L'Z') || (*c >= L'0' && *c <= L'9') ||
                 *c == L'-' || *c == L'_' || *c == L'.';
    if (plain) {
      path += *c;
    } else {
      path += L'~';
      for (int shift = 12; shift >= 0; shift -= 4) path += kHex[(*c >> shift) & 15];
    }
  }
  return path + L".key";
}

bool KeyFileExists(const std::wstring& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

SECURITY_STATUS LoadKeyFile(const std::wstring& path, StoredKey& key) {
  std::vector<uint8_t> bytes;
  DWORD error = 0;
  if (!ReadWholeFile(path, bytes, error))
    return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) ? NTE_BAD_KEYSET : NTE_BAD_DATA;
  if (bytes.size() < kHeaderSize || std::memcmp(bytes.data(), kFileMagic, sizeof(kFileMagic)) != 0)
    return NTE_BAD_DATA;
  key.curveBits = GetLittleEndian32(&bytes[8]);
  key.exportPolicy = GetLittleEndian32(&bytes[12]);
  uint32_t protectedSize = GetLittleEndian32(&bytes[16]);
  if (protectedSize != bytes.size() - kHeaderSize || (key.curveBits != 256 && key.curveBits != 384))
    return NTE_BAD_DATA;

  DATA_BLOB in = {protectedSize, bytes.data() + kHeaderSize};
  DATA_BLOB out = {};
  if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
    return NTE_BAD_DATA;
  key.privateBlob.assign(out.pbData, out.pbData + out.cbData);
  SecureZeroMemory(out.pbData, out.cbData);
  LocalFree(out.pbData);
  return ERROR_SUCCESS;
}

SECURITY_STATUS SaveKeyFile(const std::wstring& path, const StoredKey& key, bool overwrite) {
  DATA_BLOB in = {static_cast<DWORD>(key.privateBlob.size()), const_cast<BYTE*>(key.privateBlob.data())};
  DATA_BLOB out = {};
  if (!CryptProtectData(&in, kProtectionDescription, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out))
    return NTE_FAIL;
  std::vector<uint8_t> bytes(kHeaderSize + out.cbData);
  std::memcpy(bytes.data(), kFileMagic, sizeof(kFileMagic));
  PutLittleEndian32(&bytes[8], key.curveBits);
  PutLittleEndian32(&bytes[12], key.exportPolicy);
  PutLittleEndian32(&bytes[16], out.cbData);
  std::memcpy(bytes.data() + kHeaderSize, out.pbData, out.cbData);
  LocalFree(out.pbData);

  CreateDirectoryChain(path.substr(0, path.find_last_of(L'\\')));
  // CREATE_NEW settles a race between two first starts: one of them gets
  // NTE_EXISTS instead of both writing.
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, overwrite ? CREATE_ALWAYS : CREATE_NEW,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_EXISTS ? NTE_EXISTS : NTE_FAIL;
  DWORD written = 0;
  bool ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size() && FlushFileBuffers(file);
  CloseHandle(file);
  if (!ok) {
    DeleteFileW(path.c_str());
    return NTE_FAIL;
  }
  return ERROR_SUCCESS;
}
