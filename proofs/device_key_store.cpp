#include "proofs/device_key_store.h"

#include "core/guard_state.h"

void ReleaseDeviceKey() {
  AcquireSRWLockExclusive(&guard.deviceKeyLock);
  if (guard.deviceKey) NCryptFreeObject(guard.deviceKey);
  if (guard.deviceKeyProvider) NCryptFreeObject(guard.deviceKeyProvider);
  guard.deviceKey = 0;
  guard.deviceKeyProvider = 0;
  guard.deviceKeyKind = 0;
  ReleaseSRWLockExclusive(&guard.deviceKeyLock);
}

// PLACEHOLDER until the device key store lands.
bool AcquireDeviceKey() { return true; }
