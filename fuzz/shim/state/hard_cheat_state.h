#pragma once
// Native stand-in: the real header pins the state block's Windows layout
// (16-bit wchar_t), which a Linux build cannot meet. The evidence code needs
// none of the block, only the capacities its neighbours' declarations name.
#include <cstdint>

constexpr uint32_t kHardCheatCodeCapacity = 32;
constexpr uint32_t kHardCheatMessageCapacity = 384;
