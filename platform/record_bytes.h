#pragma once
// Byte helpers shared by the signed records and by the comparisons of values
// an attacker may probe (report identifiers, file digests).
#include <cstddef>
#include <cstdint>

// Identifiers, nonces, digests and signatures of all zeros count as missing.
inline bool IsAllZeroBytes(const uint8_t* bytes, size_t length) {
  uint8_t any = 0;
  for (size_t i = 0; i < length; ++i) any |= bytes[i];
  return any == 0;
}

// Every byte is looked at whatever the others hold, so the time taken tells
// nothing about where two values first differ.
inline bool BytesEqualConstantTime(const uint8_t* a, const uint8_t* b, size_t length) {
  volatile uint8_t difference = 0;
  for (size_t i = 0; i < length; ++i) difference = static_cast<uint8_t>(difference | (a[i] ^ b[i]));
  return difference == 0;
}

// The signed records are big-endian; the report's header is little-endian.
inline void PutBigEndian16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value >> 8);
  at[1] = static_cast<uint8_t>(value);
}
inline void PutBigEndian32(uint8_t* at, uint32_t value) {
  at[0] = static_cast<uint8_t>(value >> 24);
  at[1] = static_cast<uint8_t>(value >> 16);
  at[2] = static_cast<uint8_t>(value >> 8);
  at[3] = static_cast<uint8_t>(value);
}
inline void PutLittleEndian16(uint8_t* at, uint16_t value) {
  at[0] = static_cast<uint8_t>(value);
  at[1] = static_cast<uint8_t>(value >> 8);
}
