#pragma once
// The system's crypto libraries, wherever the process has them loaded. A
// copy of bcrypt.dll that the game (or anything before the guard) loaded
// from beside Zarnel.exe is the module Windows binds for ncrypt.dll's own
// imports, whatever path the guard loads ncrypt.dll from: it would see the
// device key's every signature. Known DLLs cannot be planted this way, but
// checking them costs nothing and keeps the list free of per-version
// knowledge of which ones are known.
#include <windows.h>

#include <cstddef>

// The directories a system library of this process may come from: the
// system directory, and under WOW64 the 32-bit one, which is where the
// loader really takes a 32-bit process's system libraries from.
struct SystemLibraryDirectories {
  wchar_t system[MAX_PATH + 1];
  size_t systemLength;
  wchar_t wow64[MAX_PATH + 1];
  size_t wow64Length;  // 0 when the process does not run under WOW64
};

// False when the system directory cannot be read: then nothing can be
// judged out of place.
bool ReadSystemLibraryDirectories(SystemLibraryDirectories& directories);

// True when `fileName` is one of the crypto libraries that the device key
// and the digests go through and `path` does not lie directly in one of
// the directories (letter case aside; a "\\?\" prefix is no difference).
bool IsSystemCryptoModuleOutOfPlace(const wchar_t* fileName, const wchar_t* path,
                                    const SystemLibraryDirectories& directories);
