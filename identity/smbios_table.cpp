#include "identity/smbios_table.h"

#include <cstring>

namespace {
constexpr uint8_t kTypeBios = 0;
constexpr uint8_t kTypeSystem = 1;
constexpr uint8_t kTypeBaseboard = 2;
constexpr uint8_t kTypeEndOfTable = 127;
constexpr size_t kStructureHeaderSize = 4;
constexpr size_t kSystemUuidOffset = 8;

uint32_t ReadLittleEndian32(const uint8_t* bytes) {
  return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
         static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// The string-number field at `offset` of the formatted area, when the area
// (of `length` bytes) reaches that far.
SmbiosStringField StringField(const uint8_t* structure, size_t length, size_t offset, size_t setStart,
                              size_t setEnd) {
  SmbiosStringField field = {};
  if (length > offset) {
    field.present = true;
    field.setStart = setStart;
    field.setEnd = setEnd;
    field.number = structure[offset];
  }
  return field;
}

bool AllBytesEqual(const uint8_t* bytes, size_t count, uint8_t value) {
  for (size_t i = 0; i < count; ++i)
    if (bytes[i] != value) return false;
  return true;
}

void MapSystemStructure(const uint8_t* structure, size_t length, size_t setStart, size_t setEnd,
                        SmbiosFieldMap& map) {
  map.systemManufacturer = StringField(structure, length, 4, setStart, setEnd);
  map.systemProductName = StringField(structure, length, 5, setStart, setEnd);
  map.systemSerialNumber = StringField(structure, length, 7, setStart, setEnd);
  if (length < kSystemUuidOffset + kSmbiosUuidSize) return;
  const uint8_t* uuid = structure + kSystemUuidOffset;
  // All zeros: no ID present; all ones: present but not set.
  if (AllBytesEqual(uuid, kSmbiosUuidSize, 0x00) || AllBytesEqual(uuid, kSmbiosUuidSize, 0xFF)) return;
  std::memcpy(map.uuid, uuid, kSmbiosUuidSize);
  map.uuidPresent = true;
}
}  // namespace

bool MapSmbiosFields(const uint8_t* buffer, size_t size, SmbiosFieldMap& map) {
  map = SmbiosFieldMap{};
  if (!buffer || size < kSmbiosHeaderSize) return false;
  const uint32_t tableLength = ReadLittleEndian32(buffer + 4);
  if (tableLength == 0 || tableLength > size - kSmbiosHeaderSize) return false;
  const size_t end = kSmbiosHeaderSize + tableLength;

  size_t position = kSmbiosHeaderSize;
  while (position < end) {
    if (end - position < kStructureHeaderSize) return false;
    const uint8_t type = buffer[position];
    const size_t length = buffer[position + 1];
    if (length < kStructureHeaderSize || length > end - position) return false;

    // The string set must close with two zero bytes inside the table.
    const size_t setStart = position + length;
    size_t setEnd = setStart;
    while (setEnd + 1 < end && !(buffer[setEnd] == 0 && buffer[setEnd + 1] == 0)) ++setEnd;
    if (setEnd + 1 >= end) return false;

    const uint8_t* structure = buffer + position;
    if (type == kTypeBios && !map.biosSeen) {
      map.biosSeen = true;
      map.biosVendor = StringField(structure, length, 4, setStart, setEnd);
    } else if (type == kTypeSystem && !map.systemSeen) {
      map.systemSeen = true;
      MapSystemStructure(structure, length, setStart, setEnd, map);
    } else if (type == kTypeBaseboard && !map.baseboardSeen) {
      map.baseboardSeen = true;
      map.baseboardSerialNumber = StringField(structure, length, 7, setStart, setEnd);
    }

    position = setEnd + 2;
    if (type == kTypeEndOfTable) break;  // whatever follows is not looked at
  }
  return map.biosSeen || map.systemSeen || map.baseboardSeen;
}

bool LocateSmbiosString(const uint8_t* buffer, size_t setStart, size_t setEnd, uint8_t number,
                        const uint8_t** text, size_t* length) {
  *text = nullptr;
  *length = 0;
  if (number == 0) return true;
  if (setStart >= setEnd) return false;  // no strings at all
  size_t start = setStart;
  for (unsigned count = 1;; ++count) {
    // setEnd is itself a zero byte, so the scan stops there at the latest.
    size_t stop = start;
    while (stop < setEnd && buffer[stop] != 0) ++stop;
    if (count == number) {
      *text = buffer + start;
      *length = stop - start;
      return true;
    }
    start = stop + 1;
    if (start >= setEnd) return false;  // fewer strings than the number asks for
  }
}

void FormatSmbiosUuid(const uint8_t uuid[kSmbiosUuidSize], char text[kSmbiosUuidTextLength]) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < kSmbiosUuidSize; ++i) {
    text[2 * i] = kDigits[uuid[i] >> 4];
    text[2 * i + 1] = kDigits[uuid[i] & 0x0F];
  }
}
