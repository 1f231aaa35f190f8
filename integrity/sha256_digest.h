#pragma once
// SHA-256 of memory and of whole files, through a fresh CryptoAPI
// verify-only context per call. No messages: callers word failures.
#include <windows.h>
#include <cstdint>

constexpr uint32_t kSha256Size = 32;
constexpr DWORD kFileHashBlockSize = 262144;

// False for a null data pointer (whatever the length; the output is then
// untouched) and for any CryptoAPI failure.
bool HashBufferSha256(const void* data, uint32_t length, uint8_t digest[kSha256Size]);

// Digest of everything read from offset 0 to end of file, wherever the
// handle's pointer stood. The size (taken before reading) is written before
// hashing starts and stays written when hashing then fails.
bool HashFileSha256(HANDLE file, uint64_t* size, uint8_t digest[kSha256Size]);
