#pragma once
// The per-user device key in a Windows key storage provider.

// Closes the device key and its provider under deviceKeyLock and empties the
// slot. Safe when no key is held.
void ReleaseDeviceKey();
