// The guarded start, run once by InitOnceExecuteOnce. Every failure undoes
// what this run set up, so that the next call can run it again in full.
#include "core/guard_state.h"
#include "core/win32_calls.h"
#include "integrity/held_client_files.h"
#include "proofs/device_key_store.h"

BOOL CALLBACK RunStartupSequence(PINIT_ONCE, PVOID, PVOID*) {
  SetGuardRunning(true);

  guard.stopEvent = win32Calls.CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!guard.stopEvent) {
    SetGuardRunning(false);
    ReleaseDeviceKey();
    ReleaseCoreFileHandles();
    ReleaseClientArchiveHandles();
    SecureZeroMemory(guard.machineIdentityDigest, sizeof(guard.machineIdentityDigest));
    SetLastErrorText(L"ZarnelGuard could not create its stop event.");
    return FALSE;
  }
  return TRUE;
}
