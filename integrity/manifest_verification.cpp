// The two groups of the manifest, each verified in manifest order and held
// open as a whole or not at all.
#include "integrity/manifest_verification.h"

#include "state/guard_state.h"
#include "integrity/client_paths.h"
#include "integrity/held_client_files.h"

namespace {
template <uint32_t Capacity>
bool VerifyAndHoldGroup(const GuardManifestEntry* entries, HeldFileList<Capacity>& held, void (*release)()) {
  WideBuffer clientDirectory;
  if (!ResolveClientDirectory(clientDirectory) || clientDirectory.Empty()) {
    SetLastErrorText(L"ZarnelGuard could not resolve the client directory.");
    return false;
  }
  // A new run never keeps what an earlier one held.
  release();
  for (uint32_t i = 0; i < Capacity; ++i) {
    HANDLE file = INVALID_HANDLE_VALUE;
    if (!VerifyManifestFile(clientDirectory.CStr(), entries[i], &file)) {
      release();
      return false;
    }
    held.handles[held.count++] = file;
  }
  return true;
}
}  // namespace

bool VerifyCoreClientFiles() {
  return VerifyAndHoldGroup(&kGuardManifest[0], guard.coreFiles, ReleaseCoreFileHandles);
}

bool VerifyClientArchives() {
  return VerifyAndHoldGroup(&kGuardManifest[kFirstClientArchiveEntry], guard.archiveFiles,
                            ReleaseClientArchiveHandles);
}
