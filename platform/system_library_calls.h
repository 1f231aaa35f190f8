#pragma once
// ncrypt.dll and bcrypt.dll are not Known DLLs: if the guard imported them,
// a file of either name beside Zarnel.exe would be loaded in place of the
// system's before the guard ever ran, and would hold the device key. The
// guard imports neither; the entries of the call table for their functions
// are these stand-ins, which load the library from the system directory on
// first use and forward every call.
#include <windows.h>
#include <bcrypt.h>
#include <ncrypt.h>

#include "platform/wide_buffer.h"

enum SystemLibrary { kSystemLibraryNcrypt, kSystemLibraryBcrypt, kSystemLibraryCount };

// The full path that the library is loaded from: the system directory (a
// 32-bit process on 64-bit Windows reaches its own SysWOW64 through it) and
// the file name. False when the system directory cannot be read.
bool BuildSystemLibraryPath(SystemLibrary library, WideBuffer& path);

// The library, loaded from the system directory only, and kept for the life
// of the process as an import would be; null when it cannot be loaded.
HMODULE LoadSystemLibrary(SystemLibrary library);

// Loads a library by its full path in the system directory, its own imports
// from there too; on a system without the search flags (Windows 7 before
// KB2533623) through the altered search path instead. Null on failure, with
// the thread's last error set by the loader.
HMODULE LoadLibraryFromSystemPath(const wchar_t* fullPath);

// bcrypt.dll, then ncrypt.dll (whose imports then bind to that bcrypt),
// both from the system directory, before the guard needs either; resolves
// the functions that are first called under one of the guard's locks. A
// library that cannot be loaded is left to the key and the report, which
// fail on their own, with their own messages.
void PreloadSystemLibraries();

namespace system_library {
SECURITY_STATUS WINAPI NCryptOpenStorageProvider(NCRYPT_PROV_HANDLE* provider, LPCWSTR name, DWORD flags);
SECURITY_STATUS WINAPI NCryptOpenKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key, LPCWSTR name,
                                     DWORD legacyKeySpec, DWORD flags);
SECURITY_STATUS WINAPI NCryptCreatePersistedKey(NCRYPT_PROV_HANDLE provider, NCRYPT_KEY_HANDLE* key,
                                                LPCWSTR algorithm, LPCWSTR name, DWORD legacyKeySpec, DWORD flags);
SECURITY_STATUS WINAPI NCryptSetProperty(NCRYPT_HANDLE object, LPCWSTR property, PBYTE input, DWORD size,
                                         DWORD flags);
SECURITY_STATUS WINAPI NCryptFinalizeKey(NCRYPT_KEY_HANDLE key, DWORD flags);
SECURITY_STATUS WINAPI NCryptGetProperty(NCRYPT_HANDLE object, LPCWSTR property, PBYTE output, DWORD size,
                                         DWORD* result, DWORD flags);
SECURITY_STATUS WINAPI NCryptExportKey(NCRYPT_KEY_HANDLE key, NCRYPT_KEY_HANDLE exportKey, LPCWSTR blobType,
                                       NCryptBufferDesc* parameters, PBYTE output, DWORD size, DWORD* result,
                                       DWORD flags);
SECURITY_STATUS WINAPI NCryptSignHash(NCRYPT_KEY_HANDLE key, VOID* padding, PBYTE hash, DWORD hashSize,
                                      PBYTE signature, DWORD signatureSize, DWORD* result, DWORD flags);
SECURITY_STATUS WINAPI NCryptFreeObject(NCRYPT_HANDLE object);
NTSTATUS WINAPI BCryptGenRandom(BCRYPT_ALG_HANDLE algorithm, PUCHAR buffer, ULONG size, ULONG flags);
}  // namespace system_library
