#pragma once
// The identifying texts of the firmware's SMBIOS tables. No state: every
// call reads the firmware again.
#include <cstddef>
#include <cstdint>

#include "core/wide_buffer.h"

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
