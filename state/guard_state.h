#pragma once
// The one process-wide guard record behind the exports. It lives in static
// storage, is zero at load (but for the last-error text) and is never
// allocated per call.
#include <windows.h>
#include <ncrypt.h>
#include <cstdint>
#include "client_build.h"
#include "state/hard_cheat_state.h"

constexpr uint32_t kLastErrorTextCapacity = 768;  // code units, terminator included
constexpr uint32_t kCoreClientFileCount = 8;
constexpr uint32_t kClientArchiveCount = 17;
constexpr int32_t kClientBuild = ZARNELGUARD_BUILD_NUMBER;
constexpr uint32_t kFatalExitCode = 13;

// Files the guard keeps open with read sharing only, so they cannot change
// while the client runs. Filled in manifest order by the start-up.
template <uint32_t Capacity>
struct HeldFileList {
  HANDLE handles[Capacity];
  uint32_t count;
};

// Every member names its value at load, so that the record is constant
// data the loader maps, never code that runs before DllMain.
struct GuardState {
  wchar_t lastErrorText[kLastErrorTextCapacity] = L"ZarnelGuard initialization failed.";
  HeldFileList<kClientArchiveCount> archiveFiles = {};
  HeldFileList<kCoreClientFileCount> coreFiles = {};
  HMODULE moduleHandle = nullptr;
  INIT_ONCE startupOnce = INIT_ONCE_STATIC_INIT;
  HANDLE stopEvent = nullptr;
  HANDLE monitorThread = nullptr;
  HANDLE singleClientMutex = nullptr;
  NCRYPT_PROV_HANDLE deviceKeyProvider = 0;
  NCRYPT_KEY_HANDLE deviceKey = 0;
  uint32_t deviceKeyKind = 0;  // 0 none, 1 platform provider, 2 software provider
  SRWLOCK deviceKeyLock = SRWLOCK_INIT;
  volatile LONG fatalExitLatch = 0;  // atomics only
  volatile LONG guardRunning = 0;    // atomics only
  SRWLOCK processScanLock = SRWLOCK_INIT;
  SRWLOCK hardCheatLock = SRWLOCK_INIT;
  uint8_t machineIdentityDigest[32] = {};
  HardCheatState hardCheat = {};
  // What the last reads of the process list and the handle table filled,
  // plus a margin, so that the next read starts where one kernel call
  // suffices (and shrinks again after a spike). Both the
  // monitor thread and host threads read them: atomics only.
  volatile LONG processListBytes = 0;
  volatile LONG handleTableBytes = 0;
};

extern GuardState guard;

// Formats a message into the last-error text, cut at 767 characters.
void SetLastErrorText(const wchar_t* format, ...);

// guardRunning is read by a compare-exchange (1 -> 1) so that the read is a
// full barrier like every write of it.
inline bool IsGuardRunning() {
  return InterlockedCompareExchange(&guard.guardRunning, 1, 1) == 1;
}
inline void SetGuardRunning(bool running) {
  InterlockedExchange(&guard.guardRunning, running ? 1 : 0);
}
