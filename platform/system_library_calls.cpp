#include "platform/system_library_calls.h"

#include "platform/win32_calls.h"

namespace {
const wchar_t* const kLibraryFileNames[kSystemLibraryCount] = {L"\\ncrypt.dll", L"\\bcrypt.dll"};
void* volatile loadedLibraries[kSystemLibraryCount];

// What a missing library or function answers: the caller's own failure
// path then runs as for any refusal of the provider.
constexpr SECURITY_STATUS kNoProvider = NTE_PROVIDER_DLL_FAIL;
constexpr NTSTATUS kNoLibrary = static_cast<NTSTATUS>(0xC0000135);  // STATUS_DLL_NOT_FOUND

void* ReadPointer(void* volatile& slot) { return InterlockedCompareExchangePointer(&slot, nullptr, nullptr); }

// The directory query is the system's own, not the call table's: the
// table's entries for these libraries are the stand-ins below, and a
// library resolved once stays resolved for the process.
template <typename Function>
Function Resolve(SystemLibrary library, const char* name, void* volatile& slot) {
  void* function = ReadPointer(slot);
  if (!function) {
    HMODULE module = LoadSystemLibrary(library);
    if (module) function = reinterpret_cast<void*>(::GetProcAddress(module, name));
    if (function) InterlockedExchangePointer(&slot, function);
  }
  return reinterpret_cast<Function>(function);
}
}  // namespace

bool BuildSystemLibraryPath(SystemLibrary library, WideBuffer& path) {
  path.Clear();
  if (library < 0 || library >= kSystemLibraryCount) return false;
  wchar_t directory[MAX_PATH];
  UINT length = ::GetSystemDirectoryW(directory, MAX_PATH);
  // A result of the capacity or more is the size needed, not a path.
  if (length == 0 || length >= MAX_PATH) return false;
  return path.Assign(directory, length) && path.Append(kLibraryFileNames[library]);
}

HMODULE LoadLibraryFromSystemPath(const wchar_t* fullPath) {
  // The full path keeps an already loaded module of the same file name from
  // standing in; the flag keeps the library's own imports in the system
  // directory too.
  HMODULE module = win32Calls.LoadLibraryExW(fullPath, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module || GetLastError() != ERROR_INVALID_PARAMETER) return module;
  // Windows 7 without KB2533623 knows no search flag and refuses it as an
  // invalid parameter. The altered search path takes a full path's imports
  // from that path's directory first, which here is the system directory.
  return win32Calls.LoadLibraryExW(fullPath, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE LoadSystemLibrary(SystemLibrary library) {
  if (library < 0 || library >= kSystemLibraryCount) return nullptr;
  if (void* known = ReadPointer(loadedLibraries[library])) return static_cast<HMODULE>(known);
  WideBuffer path;
  if (!BuildSystemLibraryPath(library, path)) return nullptr;
  HMODULE module = LoadLibraryFromSystemPath(path.CStr());
  if (!module) return nullptr;
  // Two threads may race to the first load: the loser gives its reference back.
  if (void* earlier = InterlockedCompareExchangePointer(&loadedLibraries[library], module, nullptr)) {
    ::FreeLibrary(module);
    return static_cast<HMODULE>(earlier);
  }
  return module;
}

// One forwarding function per entry: resolve once, then call through.
#define ZG_FORWARD(library, result, failure, name, parameters, arguments)                    \
  void* volatile name##Slot;                                                                 \
  result WINAPI name parameters {                                                            \
    auto function = Resolve<decltype(&::name)>(library, #name, name##Slot);                  \
    return function ? function arguments : failure;                                          \
  }

namespace system_library {
ZG_FORWARD(kSystemLibraryNcrypt, SECURITY_STATUS, kNoProvider, NCryptOpenStorageProvider,
           (NCRYPT_PROV_HANDLE * provider, LPCWSTR name, DWORD flags), (provider, name, flags))
ZG_FORWARD(kSystemLibraryNcrypt, SECURITY_STATUS, kNoProvider, NCryptOpenKey,
           (NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key, LPCWSTR name, DWORD legacyKeySpec, DWORD flags),
           (provider, key, name, legacyKeySpec, flags))
ZG_FORWARD(kSystemLibraryNcrypt, SECURITY_STATUS, kNoProvider, NCryptCreatePersistedKey,
           (NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key, LPCWSTR algorithm, LPCWSTR name,
            DWORD legacyKeySpec, DWORD flags),
           (provider, key, algorithm, name, legacyKeySpec, flags))
ZG_FORWARD(kSystemLibraryNcrypt, SECURITY_STATUS, kNoProvider, NCryptSetProperty,
           (NCRYPT_HANDLE object, LPCWSTR property, PBYTE input, DWORD size, DWORD flags),
           (object, property, input, size, flags))
ZG_FORWARD(kSystemLibraryNcrypt, SECURITY_STATUS, kNoProvider, NCryptFinalizeKey, (NCRYPT_KEY_HANDLE key, DWORD flags),
           (key, flags))
ZG_FORWARD(kSystemLibraryNcrypt, SECURITY_STATUS, kNoProvider, NCryptGetProperty,
           (NCRYPT_HANDLE object, LPCWSTR property, PBYTE output, DWORD size, DWORD* result, DWORD flags),
           (object, property, output, size, result, flags))
ZG_FORWARD(kSystemLibraryNcrypt, SECURITY_STATUS, kNoProvider, NCryptExportKey,
           (NCRYPT_KEY_HANDLE key, NCRYPT_KEY_HANDLE exportKey, LPCWSTR blobType, NCryptBufferDesc* parameters,
            PBYTE output, DWORD size, DWORD* result, DWORD flags),
           (key, exportKey, blobType, parameters, output, size, result, flags))
ZG_FORWARD(kSystemLibraryNcrypt, SECURITY_STATUS, kNoProvider, NCryptSignHash,
           (NCRYPT_KEY_HANDLE key, VOID* padding, PBYTE hash, DWORD hashSize, PBYTE signature, DWORD signatureSize,
            DWORD* result, DWORD flags),
           (key, padding, hash, hashSize, signature, signatureSize, result, flags))
ZG_FORWARD(kSystemLibraryNcrypt, SECURITY_STATUS, NTE_INVALID_HANDLE, NCryptFreeObject, (NCRYPT_HANDLE object),
           (object))
ZG_FORWARD(kSystemLibraryBcrypt, NTSTATUS, kNoLibrary, BCryptGenRandom,
           (BCRYPT_ALG_HANDLE algorithm, PUCHAR buffer, ULONG size, ULONG flags), (algorithm, buffer, size, flags))
}  // namespace system_library
#undef ZG_FORWARD

void PreloadSystemLibraries() {
  LoadSystemLibrary(kSystemLibraryBcrypt);
  LoadSystemLibrary(kSystemLibraryNcrypt);
  // The random generator is first called under hardCheatLock: resolved now,
  // no loader work ever happens under that lock.
  Resolve<decltype(&::BCryptGenRandom)>(kSystemLibraryBcrypt, "BCryptGenRandom", system_library::BCryptGenRandomSlot);
}
