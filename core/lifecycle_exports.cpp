// The library entry point and the four lifecycle exports.
#include <windows.h>

#include "ZarnelGuard.h"
#include "core/guard_release.h"
#include "core/startup_sequence.h"
#include "state/guard_state.h"

// Kept in read-only data so that the build can be read out of the shipped
// file; the export reads it through a volatile pointer so the compiler
// cannot fold the marker away.
extern "C" __attribute__((used)) const char zarnelGuardBuildMarker[] =
    "ZARNEL-GUARD-CLIENT-BUILD=" ZARNELGUARD_BUILD_NUMBER_TEXT;

// Thread notifications stay on. Windows refuses to turn them off for a
// module with static TLS, which the C++ runtime gives this one; Wine 8
// turns them off for exactly such modules, and then the threads runtime
// never hears that a thread ended and keeps the handles it made for it.
// The runtime's own thread-exit cleanup needs them; DllMain does nothing
// with them.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) guard.moduleHandle = instance;
  // Nothing at detach: only ZarnelGuardShutdown releases what the guard holds.
  return TRUE;
}

extern "C" int32_t ZARNELGUARD_API ZarnelGuardInitialize(void) {
  return InitOnceExecuteOnce(&guard.startupOnce, RunStartupSequence, nullptr, nullptr);
}

extern "C" void ZARNELGUARD_API ZarnelGuardShutdown(void) { ReleaseGuard(ReleaseReason::kShutdown); }

extern "C" const wchar_t* ZARNELGUARD_API ZarnelGuardGetLastError(void) { return guard.lastErrorText; }

extern "C" int32_t ZARNELGUARD_API ZarnelGuardGetClientBuild(void) {
  const volatile char* marker = zarnelGuardBuildMarker;
  return marker[0] == 'Z' ? kClientBuild : 0;
}
