#pragma once
// The client's files checked against the manifest compiled into the guard,
// and held open with read sharing only while the guard runs.
#include <windows.h>

#include "integrity/guard_manifest.h"

// One file under the client directory: strict open with retries on transient
// locks, then kind, hard links, final path, digest, size and content. On
// success the open handle goes to `heldHandle` (the caller owns it) or is
// closed when no slot is given. On failure: one message naming the entry's
// bare file name in the last-error text, and no handle left open.
bool VerifyManifestFile(const wchar_t* clientDirectory, const GuardManifestEntry& entry, HANDLE* heldHandle);

// The 8 core files, in manifest order, held in guard.coreFiles on success.
// A run first releases what an earlier run held. On failure: one message in
// the last-error text, nothing of this run left open.
bool VerifyCoreClientFiles();
// The 17 archives, held in guard.archiveFiles. The same contract.
bool VerifyClientArchives();
