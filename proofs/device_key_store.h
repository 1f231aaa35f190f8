#pragma once
// The per-user device key in a Windows key storage provider.
#include <windows.h>
#include <ncrypt.h>

#include <cstdint>

constexpr uint32_t kDevicePublicKeySize = 72;  // BCRYPT_ECCPUBLIC_BLOB of P-256
constexpr uint32_t kDeviceSignatureSize = 64;  // r then s

// Writes the key's 72-byte public blob (magic ECS1, key length 32).
bool ExportDevicePublicKey(NCRYPT_KEY_HANDLE key, uint8_t publicKey[kDevicePublicKeySize]);

// Signs a SHA-256 digest with the published device key. The caller holds
// guard.deviceKeyLock exclusively (so key, kind and public key agree).
bool SignWithDeviceKey(const uint8_t digest[32], uint8_t signature[kDeviceSignatureSize]);

// Opens or creates the device key, platform provider first, then the
// software provider, and publishes it under deviceKeyLock. No message.
bool AcquireDeviceKey();

// Closes the device key and its provider under deviceKeyLock and empties the
// slot. Safe when no key is held.
void ReleaseDeviceKey();
