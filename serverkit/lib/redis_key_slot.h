// The hash slot of a Redis Cluster key.
#pragma once

#include <string_view>

namespace zarnel::serverkit {

constexpr int kRedisClusterSlots = 16384;

// CRC16 (XMODEM) of the key modulo 16384, of only what the first
// "{...}" holds when it holds anything ("{user}:a" and "{user}:b" share
// a slot), as Redis computes it.
int RedisKeySlot(std::string_view key);

}  // namespace zarnel::serverkit
