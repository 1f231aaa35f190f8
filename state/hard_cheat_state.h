#pragma once
// The hard-cheat exchange keeps all of its state in one fixed block, so that
// shutdown can wipe it as a whole. Every field is read and written under
// guard.hardCheatLock.
#include <cstddef>
#include <cstdint>

constexpr uint32_t kHardCheatIdSize = 16;
constexpr uint32_t kHardCheatNonceSize = 32;
constexpr uint32_t kHardCheatReportSize = 241;
constexpr uint32_t kHardCheatCodeCapacity = 32;      // code units, terminator included
constexpr uint32_t kHardCheatMessageCapacity = 384;  // code units, terminator included

struct HardCheatState {
  uint8_t challengePresent;
  uint8_t detectionConfirmed;  // set once; cleared only when recording fails, and at shutdown
  uint8_t reportReady;
  uint32_t challengeBuild;     // 1 to 62 while a challenge is held, else 0
  uint16_t violation;
  uint64_t ackClockStart;      // GetTickCount64 at the start of the clock; 0 = not running
  uint8_t reportId[kHardCheatIdSize];
  uint8_t challengeId[kHardCheatIdSize];
  uint8_t challengeNonce[kHardCheatNonceSize];
  uint8_t evidenceDigest[32];
  uint8_t report[kHardCheatReportSize];
  wchar_t codeText[kHardCheatCodeCapacity];
  wchar_t messageText[kHardCheatMessageCapacity];
  uint8_t reserved[6];
};
static_assert(offsetof(HardCheatState, reserved) == 1194, "the fields end where the block's padding begins");
static_assert(sizeof(HardCheatState) == 1200, "the hard-cheat state is one 1200-byte block");
