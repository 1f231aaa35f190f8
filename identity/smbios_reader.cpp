#include "identity/smbios_reader.h"

#include <windows.h>

#include "platform/byte_buffer.h"
#include "platform/win32_calls.h"
#include "identity/smbios_table.h"

namespace {
constexpr DWORD kRawSmbiosProvider = 0x52534D42;  // 'RSMB'
constexpr DWORD kMinimumTableBufferSize = 8;
constexpr DWORD kMaximumTableBufferSize = 0x400000;  // 4 MiB: more is no real firmware

// The firmware table copy, wiped before it is freed: it holds serial numbers.
using TableBuffer = ByteBuffer<BufferWipe::kOnRelease>;

void WipeWideText(WideBuffer& text) {
  if (text.Data()) SecureZeroMemory(text.Data(), text.Capacity() * sizeof(wchar_t));
  text.Clear();
}

// A field the walk did not reach stays empty; one that cannot be fetched is
// emptied and does not affect the read.
void FillField(const uint8_t* buffer, const SmbiosStringField& field, WideBuffer& text) {
  if (field.present) ReadSmbiosString(buffer, field.setStart, field.setEnd, field.number, text);
}

void FillUuid(const SmbiosFieldMap& map, WideBuffer& text) {
  if (!map.uuidPresent) return;
  char digits[kSmbiosUuidTextLength];
  FormatSmbiosUuid(map.uuid, digits);
  wchar_t wide[kSmbiosUuidTextLength];
  for (size_t i = 0; i < kSmbiosUuidTextLength; ++i) wide[i] = static_cast<wchar_t>(digits[i]);
  text.Assign(wide, kSmbiosUuidTextLength);
  SecureZeroMemory(digits, sizeof(digits));
  SecureZeroMemory(wide, sizeof(wide));
}
}  // namespace

void WipeSmbiosIdentity(SmbiosIdentity& identity) {
  WipeWideText(identity.biosVendor);
  WipeWideText(identity.systemManufacturer);
  WipeWideText(identity.systemProductName);
  WipeWideText(identity.systemSerialNumber);
  WipeWideText(identity.systemUuid);
  WipeWideText(identity.baseboardSerialNumber);
}

bool ReadSmbiosString(const uint8_t* buffer, size_t setStart, size_t setEnd, uint8_t number, WideBuffer& text) {
  WipeWideText(text);
  const uint8_t* bytes = nullptr;
  size_t length = 0;
  if (!LocateSmbiosString(buffer, setStart, setEnd, number, &bytes, &length)) return false;
  if (length == 0) return true;
  // Bounded by the 4 MiB table, so it fits an int.
  const char* source = reinterpret_cast<const char*>(bytes);
  const int sourceLength = static_cast<int>(length);
  const int count = win32Calls.MultiByteToWideChar(CP_ACP, 0, source, sourceLength, nullptr, 0);
  if (count < 1) return false;
  if (!text.Allocate(static_cast<size_t>(count) + 1)) return false;
  if (win32Calls.MultiByteToWideChar(CP_ACP, 0, source, sourceLength, text.Data(), count) != count) {
    WipeWideText(text);
    return false;
  }
  text.SetLength(static_cast<size_t>(count));
  return true;
}

bool WalkSmbiosBuffer(const uint8_t* buffer, size_t size, SmbiosIdentity& identity) {
  SmbiosFieldMap map;
  if (!MapSmbiosFields(buffer, size, map)) return false;
  FillField(buffer, map.biosVendor, identity.biosVendor);
  FillField(buffer, map.systemManufacturer, identity.systemManufacturer);
  FillField(buffer, map.systemProductName, identity.systemProductName);
  FillField(buffer, map.systemSerialNumber, identity.systemSerialNumber);
  FillField(buffer, map.baseboardSerialNumber, identity.baseboardSerialNumber);
  // A UUID that cannot be stored for want of memory leaves the field empty,
  // like a string that cannot be fetched.
  FillUuid(map, identity.systemUuid);
  SecureZeroMemory(&map, sizeof(map));
  return true;
}

bool ReadSmbiosIdentity(SmbiosIdentity& identity) {
  const DWORD size = win32Calls.GetSystemFirmwareTable(kRawSmbiosProvider, 0, nullptr, 0);
  if (size < kMinimumTableBufferSize || size > kMaximumTableBufferSize) return false;
  TableBuffer table;
  if (!table.Allocate(size)) return false;
  if (win32Calls.GetSystemFirmwareTable(kRawSmbiosProvider, 0, table.Data(), size) != size) return false;
  return WalkSmbiosBuffer(table.Data(), size, identity);
}
