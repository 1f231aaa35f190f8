#include "integrity/held_client_files.h"

#include "core/win32_calls.h"

namespace {
template <uint32_t Capacity>
void ReleaseHeldFiles(HeldFileList<Capacity>& list) {
  while (list.count > 0) {
    --list.count;
    HANDLE& handle = list.handles[list.count];
    if (handle && handle != INVALID_HANDLE_VALUE) win32Calls.CloseHandle(handle);
    handle = nullptr;
  }
}
}  // namespace

void ReleaseCoreFileHandles() { ReleaseHeldFiles(guard.coreFiles); }
void ReleaseClientArchiveHandles() { ReleaseHeldFiles(guard.archiveFiles); }
