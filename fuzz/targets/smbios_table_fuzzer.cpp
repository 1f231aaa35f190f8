// The raw-SMBIOS walk as the guard runs it on whatever the firmware hands
// over: the structure map, the string lookup, and the reader on top of them,
// both over the input in place and through the firmware-table call.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "identity/smbios_reader.h"
#include "identity/smbios_table.h"
#include "system_models.h"

namespace {
void CheckString(const uint8_t* data, size_t size, const SmbiosStringField& field) {
  if (!field.present) return;
  FUZZ_CHECK(field.setStart <= field.setEnd && field.setEnd + 1 < size);
  FUZZ_CHECK(data[field.setEnd] == 0 && data[field.setEnd + 1] == 0);
  const uint8_t* text = nullptr;
  size_t length = 0;
  if (!LocateSmbiosString(data, field.setStart, field.setEnd, field.number, &text, &length)) {
    FUZZ_CHECK(text == nullptr && length == 0);
    return;
  }
  if (field.number == 0) {
    FUZZ_CHECK(text == nullptr && length == 0);
    return;
  }
  // The string lies inside its set and holds no terminator.
  FUZZ_CHECK(text >= data + field.setStart && text + length <= data + field.setEnd);
  FUZZ_CHECK(std::memchr(text, 0, length) == nullptr);
  // It is string `number`: exactly number - 1 terminators before it in the set.
  size_t terminators = 0;
  for (const uint8_t* p = data + field.setStart; p < text; ++p) terminators += *p == 0;
  FUZZ_CHECK(terminators + 1 == field.number);
}

void CheckText(const WideBuffer& text, size_t inputSize) {
  FUZZ_CHECK(text.Length() <= inputSize);
  for (size_t i = 0; i < text.Length(); ++i) FUZZ_CHECK(text.CStr()[i] != 0);
}

bool SameText(const WideBuffer& a, const WideBuffer& b) {
  return a.Length() == b.Length() && std::wmemcmp(a.CStr(), b.CStr(), a.Length()) == 0;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  RestoreWin32Calls();

  SmbiosFieldMap map;
  const bool mapped = MapSmbiosFields(data, size, map);
  if (mapped) {
    FUZZ_CHECK(map.biosSeen || map.systemSeen || map.baseboardSeen);
    CheckString(data, size, map.biosVendor);
    CheckString(data, size, map.systemManufacturer);
    CheckString(data, size, map.systemProductName);
    CheckString(data, size, map.systemSerialNumber);
    CheckString(data, size, map.baseboardSerialNumber);
  }

  SmbiosIdentity walked;
  const bool walkedOk = WalkSmbiosBuffer(data, size, walked);
  FUZZ_CHECK(walkedOk == mapped);
  if (walkedOk) {
    CheckText(walked.biosVendor, size);
    CheckText(walked.systemManufacturer, size);
    CheckText(walked.systemProductName, size);
    CheckText(walked.systemSerialNumber, size);
    CheckText(walked.baseboardSerialNumber, size);
    FUZZ_CHECK(walked.systemUuid.Length() == (map.uuidPresent ? kSmbiosUuidTextLength : 0));
    for (size_t i = 0; i < walked.systemUuid.Length(); ++i) {
      const wchar_t c = walked.systemUuid.CStr()[i];
      FUZZ_CHECK((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f'));
    }
  }

  // The same bytes through the firmware call: the reader copies them into a
  // buffer of exactly the reported size, so the sanitiser sees every over-read.
  SetModelFirmwareTable(data, size);
  SmbiosIdentity read;
  const bool readOk = ReadSmbiosIdentity(read);
  FUZZ_CHECK(readOk == (walkedOk && size >= kSmbiosHeaderSize));
  if (readOk) {
    FUZZ_CHECK(SameText(read.biosVendor, walked.biosVendor));
    FUZZ_CHECK(SameText(read.systemManufacturer, walked.systemManufacturer));
    FUZZ_CHECK(SameText(read.systemProductName, walked.systemProductName));
    FUZZ_CHECK(SameText(read.systemSerialNumber, walked.systemSerialNumber));
    FUZZ_CHECK(SameText(read.systemUuid, walked.systemUuid));
    FUZZ_CHECK(SameText(read.baseboardSerialNumber, walked.baseboardSerialNumber));
  }
  WipeSmbiosIdentity(read);
  WipeSmbiosIdentity(walked);
  FUZZ_CHECK(walked.biosVendor.Length() == 0 && walked.systemUuid.Length() == 0);
  return 0;
}
