#include "redis_key_slot.h"

#include <cstdint>

namespace zarnel::serverkit {

namespace {

// Polynomial 0x1021, initial value 0, no reflection.
std::uint16_t Crc16(std::string_view bytes) {
  std::uint16_t crc = 0;
  for (const char c : bytes) {
    crc = static_cast<std::uint16_t>(crc ^ (static_cast<std::uint8_t>(c) << 8));
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 0x8000) != 0 ? static_cast<std::uint16_t>((crc << 1) ^ 0x1021)
                                : static_cast<std::uint16_t>(crc << 1);
    }
  }
  return crc;
}

}  // namespace

int RedisKeySlot(std::string_view key) {
  const std::size_t open = key.find('{');
  if (open != std::string_view::npos) {
    const std::size_t close = key.find('}', open + 1);
    if (close != std::string_view::npos && close > open + 1) {
      key = key.substr(open + 1, close - open - 1);
    }
  }
  return Crc16(key) % kRedisClusterSlots;
}

}  // namespace zarnel::serverkit
