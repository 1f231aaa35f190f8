#pragma once
// The per-user device key in a Windows key storage provider.

// Opens or creates the device key, platform provider first, then the
// software provider, and publishes it under deviceKeyLock. No message.
bool AcquireDeviceKey();

// Closes the device key and its provider under deviceKeyLock and empties the
// slot. Safe when no key is held.
void ReleaseDeviceKey();
