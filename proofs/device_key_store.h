#pragma once
// The per-user device key in a Windows key storage provider, and the slot of
// the guard state (deviceKeyProvider, deviceKey, deviceKeyKind under
// deviceKeyLock) that holds it open while the guard runs.
//
// A signer (login proof, hard-cheat report) takes deviceKeyLock exclusively,
// checks HasDeviceKey(), exports the public key with
// ExportDevicePublicKey(guard.deviceKey, ...), reads guard.deviceKeyKind,
// hashes its record, calls SignWithDeviceKey and only then releases the
// lock, so that key, kind and signature always come from one key even when
// a shutdown releases it at the same moment.
#include <windows.h>
#include <ncrypt.h>

#include <cstdint>

#include "state/guard_state.h"

constexpr uint32_t kDevicePublicKeySize = 72;   // "ECCPUBLICBLOB" of a P-256 key
constexpr uint32_t kDeviceSignatureSize = 64;   // r then s, big-endian
constexpr uint32_t kDeviceDigestSize = 32;      // SHA-256
constexpr uint32_t kDeviceKeyKindNone = 0;
constexpr uint32_t kDeviceKeyKindPlatform = 1;  // "Microsoft Platform Crypto Provider"
constexpr uint32_t kDeviceKeyKindSoftware = 2;  // "Microsoft Software Key Storage Provider"

// Opens the named provider and in it the device key, creating the key when
// it does not exist yet, then checks that it is a non-exportable P-256 key.
// Both handles come back open on success; on failure both are 0 and nothing
// stays open. A key that fails the checks is left exactly as it is.
bool OpenDeviceKey(const wchar_t* providerName, NCRYPT_PROV_HANDLE& provider, NCRYPT_KEY_HANDLE& key);

// Opens the device key in the platform provider, else in the software
// provider, and publishes it in the slot under deviceKeyLock (takes the
// lock itself; the caller must not hold it). Writes no message: the start-up
// words the failure. A key still in the slot is closed when replaced.
bool AcquireDeviceKey();

// Writes the 72-byte public key blob of `key` after checking its size, its
// magic and its key length; on failure the buffer is zeroed. Makes no use of
// the slot: a signer passes guard.deviceKey while it holds deviceKeyLock.
bool ExportDevicePublicKey(NCRYPT_KEY_HANDLE key, uint8_t (&publicKey)[kDevicePublicKeySize]);

// True when the slot holds a key. The caller holds deviceKeyLock.
inline bool HasDeviceKey() { return guard.deviceKey != 0 && guard.deviceKeyKind != kDeviceKeyKindNone; }

// Signs a SHA-256 digest with the key in the slot. The caller holds
// deviceKeyLock. Fails without calling the provider when the slot is empty;
// on failure the signature buffer is zeroed.
bool SignWithDeviceKey(const uint8_t (&digest)[kDeviceDigestSize], uint8_t (&signature)[kDeviceSignatureSize]);

// Closes the device key and its provider under deviceKeyLock (takes the
// lock itself) and empties the slot. Safe when no key is held.
void ReleaseDeviceKey();
