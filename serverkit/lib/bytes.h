// Byte buffers, hex text and the fixed-width integer encodings used by the
// guard's records (big-endian) and by its report header (little-endian).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zarnel::serverkit {

using Bytes = std::vector<std::uint8_t>;

// Lower-case hex without separators, the only form the kit ever writes.
std::string ToHex(const Bytes& bytes);

// Accepts either letter case; false on an odd length or a non-hex character.
bool FromHex(std::string_view text, Bytes& out);

bool IsAllZero(const Bytes& bytes);

void AppendAscii(Bytes& out, std::string_view text);
void AppendU8(Bytes& out, std::uint8_t value);
void AppendU16Be(Bytes& out, std::uint16_t value);
void AppendU32Be(Bytes& out, std::uint32_t value);
void AppendBytes(Bytes& out, const Bytes& bytes);

std::uint16_t ReadU16Le(const std::uint8_t* at);
std::uint32_t ReadU32Le(const std::uint8_t* at);

}  // namespace zarnel::serverkit
