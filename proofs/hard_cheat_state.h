#pragma once
// The hard-cheat exchange keeps all of its state in one fixed block, so that
// shutdown can wipe it as a whole.
#include <cstdint>

struct HardCheatState {
  uint8_t bytes[1200];
};
static_assert(sizeof(HardCheatState) == 1200, "the hard-cheat state is one 1200-byte block");
