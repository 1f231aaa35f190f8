#include "checks/system_crypto_modules.h"

#include <cwchar>

#include "platform/path_text.h"
#include "platform/win32_calls.h"

namespace {
// What ncrypt and bcrypt bring in for keys, signatures and random numbers,
// and the CryptoAPI provider that the digests use.
constexpr const wchar_t* kSystemCryptoModules[] = {
    L"bcrypt.dll",   L"ncrypt.dll", L"bcryptprimitives.dll", L"cryptbase.dll", L"cryptsp.dll",
    L"rsaenh.dll",   L"ncryptprov.dll", L"ncryptsslp.dll",   L"pcpksp.dll",    L"tbs.dll",
    L"msasn1.dll",   L"ntasn1.dll", L"crypt32.dll",          L"dpapi.dll",
};

const wchar_t* WithoutVerbatimPrefix(const wchar_t* path) { return path + VerbatimPrefixLength(path); }

// The directory as the system reports it, without a verbatim prefix or a
// trailing separator; 0 when it cannot be read.
size_t KeepDirectory(const wchar_t* reported, UINT written, wchar_t (&directory)[MAX_PATH + 1]) {
  if (written == 0 || written > MAX_PATH) return 0;
  const wchar_t* start = WithoutVerbatimPrefix(reported);
  size_t length = std::wcslen(start);
  while (length > 0 && (start[length - 1] == L'\\' || start[length - 1] == L'/')) --length;
  std::wmemmove(directory, start, length);
  directory[length] = L'\0';
  return length;
}

bool IsSystemCryptoName(const wchar_t* fileName) {
  const size_t length = std::wcslen(fileName);
  for (const wchar_t* name : kSystemCryptoModules)
    if (PathsEqualFoldingAscii(fileName, length, name, std::wcslen(name))) return true;
  return false;
}
}  // namespace

bool ReadSystemLibraryDirectories(SystemLibraryDirectories& directories) {
  directories.systemLength = 0;
  directories.wow64Length = 0;
  wchar_t reported[MAX_PATH + 1];
  directories.systemLength =
      KeepDirectory(reported, win32Calls.GetSystemDirectoryW(reported, MAX_PATH + 1), directories.system);
  if (directories.systemLength == 0) return false;
  BOOL wow64 = FALSE;
  if (win32Calls.IsWow64Process(GetCurrentProcess(), &wow64) && wow64)
    directories.wow64Length =
        KeepDirectory(reported, win32Calls.GetSystemWow64DirectoryW(reported, MAX_PATH + 1), directories.wow64);
  return true;
}

bool IsSystemCryptoModuleOutOfPlace(const wchar_t* fileName, const wchar_t* path,
                                    const SystemLibraryDirectories& directories) {
  if (!IsSystemCryptoName(fileName)) return false;
  const wchar_t* full = WithoutVerbatimPrefix(path);
  const size_t fullLength = std::wcslen(full);
  // Without its separator: the directory the module lies directly in.
  const size_t directoryLength = DirectoryPartLength(full, fullLength);
  if (directoryLength < 2) return true;
  const size_t length = directoryLength - 1;
  if (PathsEqualFoldingAscii(full, length, directories.system, directories.systemLength)) return false;
  return !(directories.wow64Length != 0 &&
           PathsEqualFoldingAscii(full, length, directories.wow64, directories.wow64Length));
}
