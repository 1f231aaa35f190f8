#include "integrity/held_client_files.h"

#include "platform/win32_calls.h"

namespace {
template <uint32_t Capacity>
void ReleaseHeldFiles(HeldFileList<Capacity>& list) {
  for (uint32_t i = 0; i < list.count && i < Capacity; ++i) {
    HANDLE& handle = list.handles[i];
    if (handle && handle != INVALID_HANDLE_VALUE) win32Calls.CloseHandle(handle);
    handle = nullptr;
  }
  list.count = 0;
}
}  // namespace

void ReleaseCoreFileHandles() { ReleaseHeldFiles(guard.coreFiles); }
void ReleaseClientArchiveHandles() { ReleaseHeldFiles(guard.archiveFiles); }
