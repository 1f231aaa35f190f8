#pragma once
// The raw-SMBIOS structure walk over bytes in memory. Nothing here calls the
// system, so the same code can be built natively and driven by a fuzzer; the
// text conversion and the firmware call live in smbios_reader.cpp.
#include <cstddef>
#include <cstdint>

constexpr size_t kSmbiosHeaderSize = 8;  // method, major, minor, DMI revision, table length
constexpr size_t kSmbiosUuidSize = 16;
constexpr size_t kSmbiosUuidTextLength = 2 * kSmbiosUuidSize;

// Where one string-number field points: the string set of its structure runs
// from setStart to setEnd, the first of the two zero bytes that close it.
struct SmbiosStringField {
  bool present;  // the structure was long enough to hold the field
  size_t setStart;
  size_t setEnd;
  uint8_t number;  // as stored; 0 means "no string"
};

// What the walk found in the first structure of each of the types 0, 1 and 2.
struct SmbiosFieldMap {
  bool biosSeen;
  bool systemSeen;
  bool baseboardSeen;
  SmbiosStringField biosVendor;
  SmbiosStringField systemManufacturer;
  SmbiosStringField systemProductName;
  SmbiosStringField systemSerialNumber;
  SmbiosStringField baseboardSerialNumber;
  bool uuidPresent;  // formatted area long enough, and neither all 0x00 nor all 0xFF
  uint8_t uuid[kSmbiosUuidSize];
};

// Checks the table length against the buffer and walks every structure up to
// End-of-Table or the end of the table. False on any structural fault, or
// when none of the types 0, 1 and 2 was met; `map` is then to be disregarded.
bool MapSmbiosFields(const uint8_t* buffer, size_t size, SmbiosFieldMap& map);

// Finds string `number` of the set [setStart, setEnd). True with the string's
// bytes (without terminator, possibly none) for number 0 or an existing
// string; false when the set has no strings or fewer than `number`.
bool LocateSmbiosString(const uint8_t* buffer, size_t setStart, size_t setEnd, uint8_t number,
                        const uint8_t** text, size_t* length);

// Two lower-case hexadecimal digits per byte, in stored order.
void FormatSmbiosUuid(const uint8_t uuid[kSmbiosUuidSize], char text[kSmbiosUuidTextLength]);
