#include "core/guard_release.h"

#include "integrity/held_client_files.h"
#include "platform/win32_calls.h"
#include "proofs/device_key_store.h"
#include "state/guard_state.h"

namespace {
void CloseGuardHandle(HANDLE& handle) {
  if (handle) {
    win32Calls.CloseHandle(handle);
    handle = nullptr;
  }
}
}  // namespace

bool ReleaseGuard(ReleaseReason reason) {
  SetGuardRunning(false);
  if (reason == ReleaseReason::kShutdown && guard.stopEvent) win32Calls.SetEvent(guard.stopEvent);
  if (guard.monitorThread) {
    if (win32Calls.WaitForSingleObject(guard.monitorThread, INFINITE) != WAIT_OBJECT_0) return false;
    CloseGuardHandle(guard.monitorThread);
  }
  CloseGuardHandle(guard.stopEvent);
  ReleaseDeviceKey();
  if (reason == ReleaseReason::kShutdown) {
    AcquireSRWLockExclusive(&guard.hardCheatLock);
    SecureZeroMemory(&guard.hardCheat, sizeof(guard.hardCheat));
    ReleaseSRWLockExclusive(&guard.hardCheatLock);
  }
  SecureZeroMemory(guard.machineIdentityDigest, sizeof(guard.machineIdentityDigest));
  ReleaseCoreFileHandles();
  ReleaseClientArchiveHandles();
  CloseGuardHandle(guard.singleClientMutex);
  return true;
}
