#pragma once
// Where the client's files are, and the path rules for reaching them.
#include <windows.h>
#include "platform/path_text.h"
#include "platform/wide_buffer.h"

constexpr DWORD kPathBufferCapacity = 32768;

// The directory of the guard DLL itself, with its trailing separator. False
// (and an empty result) when the module name cannot be read whole or holds
// no separator.
bool ResolveClientDirectory(WideBuffer& directory);

// Full path of a manifest entry under the client directory. Admits only a
// bare file name (IsBareFileName); false too when the full path cannot be
// formed.
bool BuildManifestFilePath(const wchar_t* clientDirectory, const wchar_t* relativePath, WideBuffer& fullPath);

// The final path of an open file, extended-length prefix removed.
bool GetFinalFilePath(HANDLE file, WideBuffer& finalPath);
