#pragma once
// The identifying texts of the firmware's SMBIOS tables. No state: every
// call reads the firmware again.
#include <cstddef>
#include <cstdint>

#include "platform/wide_buffer.h"

struct SmbiosIdentity {
  WideBuffer biosVendor;             // type 0
  WideBuffer systemManufacturer;     // type 1
  WideBuffer systemProductName;      // type 1
  WideBuffer systemSerialNumber;     // type 1
  WideBuffer systemUuid;             // type 1, 32 lower-case hex digits
  WideBuffer baseboardSerialNumber;  // type 2
};

// Reads the raw table through GetSystemFirmwareTable('RSMB') and walks it.
// False when the table cannot be read or walked, or holds none of the
// types 0, 1 and 2; the record is then to be disregarded.
bool ReadSmbiosIdentity(SmbiosIdentity& identity);

// The same walk over a raw-SMBIOS buffer already in memory (header of
// 8 bytes, then the structure table), so crafted tables can reach it.
bool WalkSmbiosBuffer(const uint8_t* buffer, size_t size, SmbiosIdentity& identity);

// Overwrites the six texts with zeros and releases them: they are serial
// numbers, to be wiped before the record goes out of scope.
void WipeSmbiosIdentity(SmbiosIdentity& identity);

// String `number` of the string set [setStart, setEnd) (setEnd: the first of
// its two closing zero bytes), converted from the ANSI code page. True with
// the text (empty for number 0 or an empty string); false with `text` empty
// when the string is absent or cannot be converted.
bool ReadSmbiosString(const uint8_t* buffer, size_t setStart, size_t setEnd, uint8_t number, WideBuffer& text);
