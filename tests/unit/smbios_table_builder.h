#pragma once
// Lays out raw-SMBIOS buffers (the 8-byte header of the firmware-table call,
// then structures) for the reader's and the identity builder's tests.
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32_calls.h"

using Bytes = std::vector<uint8_t>;

// One structure: type, formatted area (header included: its length is the
// formatted length), string set (two zero bytes when there are no strings).
inline Bytes SmbiosStructure(uint8_t type, Bytes fields, const std::vector<std::string>& strings = {}) {
  Bytes out = {type, static_cast<uint8_t>(4 + fields.size()), 0x00, 0x01};
  for (uint8_t b : fields) out.push_back(b);
  for (const std::string& s : strings) {
    out.insert(out.end(), s.begin(), s.end());
    out.push_back(0);
  }
  if (strings.empty()) out.push_back(0);
  out.push_back(0);
  return out;
}

// Formatted area of a type-1 structure of `formattedLength` bytes (at least
// 8) with string numbers 1, 2, 3 for manufacturer, product, serial and the
// UUID bytes where the length allows.
inline Bytes SystemFields(size_t formattedLength, uint8_t manufacturer, uint8_t product, uint8_t serial,
                          const Bytes& uuid = {}) {
  Bytes fields(formattedLength - 4, 0);
  fields[0] = manufacturer;
  fields[1] = product;
  fields[2] = 0;  // version: never read
  fields[3] = serial;
  for (size_t i = 0; i < uuid.size() && 4 + i < fields.size(); ++i) fields[4 + i] = uuid[i];
  return fields;
}

inline Bytes EndOfTable() { return SmbiosStructure(127, {}); }

// The header (table length = the structures' size unless overridden) and
// the structures, plus `trailing` bytes outside the table.
inline Bytes RawSmbios(const std::vector<Bytes>& structures, long tableLengthOverride = -1, Bytes trailing = {}) {
  Bytes table;
  for (const Bytes& s : structures) table.insert(table.end(), s.begin(), s.end());
  uint32_t length = tableLengthOverride >= 0 ? static_cast<uint32_t>(tableLengthOverride)
                                             : static_cast<uint32_t>(table.size());
  Bytes out = {0, 3, 4, 0, static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
               static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
  out.insert(out.end(), table.begin(), table.end());
  out.insert(out.end(), trailing.begin(), trailing.end());
  return out;
}

// Serves one buffer through the firmware-table call, with the size query
// and the copy handled as the system does.
struct FakeFirmware {
  static Bytes& Table() {
    static Bytes table;
    return table;
  }
  static UINT WINAPI Get(DWORD provider, DWORD id, PVOID buffer, DWORD size) {
    if (provider != 0x52534D42 || id != 0) return 0;
    const Bytes& table = Table();
    if (!buffer) return static_cast<UINT>(table.size());
    if (size < table.size()) return static_cast<UINT>(table.size());
    memcpy(buffer, table.data(), table.size());
    return static_cast<UINT>(table.size());
  }
  static void Install(Bytes table) {
    Table() = std::move(table);
    win32Calls.GetSystemFirmwareTable = Get;
  }
};
