// The library entry point and the four lifecycle exports.
#include <windows.h>

#include "ZarnelGuard.h"
#include "core/startup_sequence.h"
#include "state/guard_state.h"
#include "platform/win32_calls.h"
#include "integrity/held_client_files.h"
#include "proofs/device_key_store.h"

// Kept in read-only data so that the build can be read out of the shipped
// file; the export reads it through a volatile pointer so the compiler
// cannot fold the marker away.
extern "C" __attribute__((used)) const char zarnelGuardBuildMarker[] =
    "ZARNEL-GUARD-CLIENT-BUILD=" ZARNELGUARD_BUILD_NUMBER_TEXT;

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    guard.moduleHandle = instance;
    DisableThreadLibraryCalls(instance);
  }
  // Nothing at detach: only ZarnelGuardShutdown releases what the guard holds.
  return TRUE;
}

extern "C" int32_t ZARNELGUARD_API ZarnelGuardInitialize(void) {
  return InitOnceExecuteOnce(&guard.startupOnce, RunStartupSequence, nullptr, nullptr);
}

extern "C" void ZARNELGUARD_API ZarnelGuardShutdown(void) {
  SetGuardRunning(false);
  if (guard.stopEvent) win32Calls.SetEvent(guard.stopEvent);
  if (guard.monitorThread) {
    // If the monitor cannot be waited for, releasing what it may still use
    // would be worse than keeping it all.
    if (win32Calls.WaitForSingleObject(guard.monitorThread, INFINITE) != WAIT_OBJECT_0) return;
    win32Calls.CloseHandle(guard.monitorThread);
    guard.monitorThread = nullptr;
  }
  if (guard.stopEvent) {
    win32Calls.CloseHandle(guard.stopEvent);
    guard.stopEvent = nullptr;
  }
  ReleaseDeviceKey();
  AcquireSRWLockExclusive(&guard.hardCheatLock);
  SecureZeroMemory(&guard.hardCheat, sizeof(guard.hardCheat));
  ReleaseSRWLockExclusive(&guard.hardCheatLock);
  SecureZeroMemory(guard.machineIdentityDigest, sizeof(guard.machineIdentityDigest));
  ReleaseCoreFileHandles();
  ReleaseClientArchiveHandles();
  if (guard.singleClientMutex) {
    win32Calls.CloseHandle(guard.singleClientMutex);
    guard.singleClientMutex = nullptr;
  }
}

extern "C" const wchar_t* ZARNELGUARD_API ZarnelGuardGetLastError(void) { return guard.lastErrorText; }

extern "C" int32_t ZARNELGUARD_API ZarnelGuardGetClientBuild(void) {
  const volatile char* marker = zarnelGuardBuildMarker;
  return marker[0] == 'Z' ? kClientBuild : 0;
}
