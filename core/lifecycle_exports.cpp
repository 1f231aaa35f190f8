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

extern "C" void ZARNELGUARD_API ZarnelGuardShutdown(void) { ReleaseGuard(ReleaseReason::kShutdown); }

extern "C" const wchar_t* ZARNELGUARD_API ZarnelGuardGetLastError(void) { return guard.lastErrorText; }

extern "C" int32_t ZARNELGUARD_API ZarnelGuardGetClientBuild(void) {
  const volatile char* marker = zarnelGuardBuildMarker;
  return marker[0] == 'Z' ? kClientBuild : 0;
}
