#pragma once
// The guard manifest: the client's files as the guard shipped with them,
// hashed at build time and compiled in as constant data (the table itself is
// generated into the build tree from the real client directory).
#include <cstdint>

#include "state/guard_state.h"
#include "integrity/sha256_digest.h"

struct GuardManifestEntry {
  const wchar_t* relativePath;  // bare file name inside the client directory
  uint64_t expectedSize;
  uint8_t expectedSha256[kSha256Size];
};

constexpr uint32_t kGuardManifestEntryCount = kCoreClientFileCount + kClientArchiveCount;
// The core files come first (Zarnel.exe, five companion libraries,
// ZarnelUpdateHelper.exe, one data file), then the archives.
constexpr uint32_t kFirstClientArchiveEntry = kCoreClientFileCount;

extern const GuardManifestEntry kGuardManifest[kGuardManifestEntryCount];
