// The checks of a monitor pass, and the run-time re-verification of the
// core client files.
#include "state/guard_state.h"
#include "core/security_monitor.h"
#include "integrity/client_paths.h"
#include "integrity/guard_manifest.h"
#include "integrity/manifest_verification.h"

namespace {
constexpr MonitorChecks kRealMonitorChecks = {
    DetectActiveDebugger, ScanLoadedModules, ScanRunningPrograms, DetectVirtualMachine, RecheckCoreClientFiles,
};
}  // namespace

#ifdef ZARNELGUARD_TEST_SEAM
MonitorChecks monitorChecks = kRealMonitorChecks;

void RestoreMonitorChecks() { monitorChecks = kRealMonitorChecks; }
#else
extern const MonitorChecks monitorChecks = kRealMonitorChecks;
#endif

bool RecheckCoreClientFiles() {
  WideBuffer clientDirectory;
  if (!ResolveClientDirectory(clientDirectory) || clientDirectory.Empty()) {
    SetLastErrorText(L"ZarnelGuard could not resolve the client directory.");
    return false;
  }
  // Archives are verified only at the start: hashing gigabytes every minute
  // would cost the game more than a changed archive could.
  for (uint32_t entry = 0; entry < kCoreClientFileCount; ++entry) {
    if (!VerifyManifestFile(clientDirectory.CStr(), kGuardManifest[entry], nullptr)) return false;
  }
  return true;
}
