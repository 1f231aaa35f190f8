#include "system_models.h"

#include <string>

Win32Calls win32Calls;

void RestoreWin32Calls() {
  win32Calls.GetSystemFirmwareTable = ModelGetSystemFirmwareTable;
  win32Calls.MultiByteToWideChar = ModelMultiByteToWideChar;
  win32Calls.WideCharToMultiByte = ModelWideCharToMultiByte;
  win32Calls.GetStringTypeW = ModelGetStringTypeW;
}

namespace {
const uint8_t* firmwareBytes = nullptr;
size_t firmwareSize = 0;

// Windows-1252 from 0x80 to 0x9F; the five unassigned bytes map to the C1
// control of the same value, as MultiByteToWideChar does.
const uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

bool IsHighSurrogate(uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
}  // namespace

void SetModelFirmwareTable(const uint8_t* bytes, size_t size) {
  firmwareBytes = bytes;
  firmwareSize = size;
}

UINT ModelGetSystemFirmwareTable(DWORD provider, DWORD id, PVOID buffer, DWORD size) {
  if (provider != 0x52534D42 || id != 0) return 0;
  if (!buffer || size < firmwareSize) return static_cast<UINT>(firmwareSize);
  if (firmwareSize) std::memcpy(buffer, firmwareBytes, firmwareSize);
  return static_cast<UINT>(firmwareSize);
}

int ModelMultiByteToWideChar(UINT codePage, DWORD, LPCCH source, int sourceLength, LPWSTR target,
                             int targetLength) {
  if (codePage != CP_ACP || !source || sourceLength == 0 || targetLength < 0) return 0;
  const size_t count = sourceLength < 0 ? std::strlen(source) + 1 : static_cast<size_t>(sourceLength);
  if (targetLength == 0) return static_cast<int>(count);
  if (static_cast<size_t>(targetLength) < count) return 0;
  for (size_t i = 0; i < count; ++i) {
    const uint8_t byte = static_cast<uint8_t>(source[i]);
    target[i] = static_cast<wchar_t>(byte >= 0x80 && byte <= 0x9F ? kCp1252High[byte - 0x80] : byte);
  }
  return static_cast<int>(count);
}

int ModelWideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH source, int sourceLength, LPSTR target,
                             int targetLength, LPCCH defaultChar, LPBOOL usedDefault) {
  // With CP_UTF8 Windows refuses a default character and its flag.
  if (codePage != CP_UTF8 || !source || sourceLength == 0 || targetLength < 0 || defaultChar || usedDefault)
    return 0;
  size_t count = sourceLength;
  if (sourceLength < 0) {
    count = 0;
    while (source[count]) ++count;
    ++count;
  }
  std::vector<uint8_t> out;
  for (size_t i = 0; i < count; ++i) {
    uint32_t u = static_cast<uint32_t>(source[i]);
    if (u > 0xFFFF) ReportFinding("a wide unit above 0xFFFF reached the UTF-8 conversion");
    if (IsHighSurrogate(u) && i + 1 < count && IsLowSurrogate(static_cast<uint32_t>(source[i + 1]))) {
      u = 0x10000 + ((u - 0xD800) << 10) + (static_cast<uint32_t>(source[i + 1]) - 0xDC00);
      ++i;
    } else if (IsHighSurrogate(u) || IsLowSurrogate(u)) {
      if (flags & WC_ERR_INVALID_CHARS) return 0;
      u = 0xFFFD;
    }
    if (u < 0x80) {
      out.push_back(static_cast<uint8_t>(u));
    } else if (u < 0x800) {
      out.push_back(static_cast<uint8_t>(0xC0 | u >> 6));
      out.push_back(static_cast<uint8_t>(0x80 | (u & 0x3F)));
    } else if (u < 0x10000) {
      out.push_back(static_cast<uint8_t>(0xE0 | u >> 12));
      out.push_back(static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F)));
      out.push_back(static_cast<uint8_t>(0x80 | (u & 0x3F)));
    } else {
      out.push_back(static_cast<uint8_t>(0xF0 | u >> 18));
      out.push_back(static_cast<uint8_t>(0x80 | ((u >> 12) & 0x3F)));
      out.push_back(static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F)));
      out.push_back(static_cast<uint8_t>(0x80 | (u & 0x3F)));
    }
  }
  if (targetLength == 0) return static_cast<int>(out.size());
  if (static_cast<size_t>(targetLength) < out.size()) return 0;
  std::memcpy(target, out.data(), out.size());
  return static_cast<int>(out.size());
}

BOOL ModelGetStringTypeW(DWORD infoType, LPCWCH source, int length, LPWORD types) {
  if (infoType != CT_CTYPE1 || !source || !types || length < 1) return FALSE;
  for (int i = 0; i < length; ++i) {
    const uint32_t u = static_cast<uint32_t>(source[i]);
    const bool space = (u >= 0x09 && u <= 0x0D) || u == 0x20 || u == 0x85 || u == 0xA0 || u == 0x1680 ||
                       (u >= 0x2000 && u <= 0x200A) || u == 0x2028 || u == 0x2029 || u == 0x202F ||
                       u == 0x205F || u == 0x3000;
    types[i] = space ? C1_SPACE : 0;
  }
  return TRUE;
}

std::vector<wchar_t> UnitsFromBytes(const uint8_t* data, size_t size) {
  std::vector<wchar_t> units(size / 2);
  for (size_t i = 0; i < units.size(); ++i)
    units[i] = static_cast<wchar_t>(data[2 * i] | static_cast<unsigned>(data[2 * i + 1]) << 8);
  return units;
}

bool IsValidUtf8(const uint8_t* bytes, size_t length) {
  size_t i = 0;
  while (i < length) {
    const uint8_t b = bytes[i];
    size_t extra;
    uint32_t u;
    if (b < 0x80) {
      ++i;
      continue;
    } else if ((b & 0xE0) == 0xC0) {
      extra = 1, u = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
      extra = 2, u = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
      extra = 3, u = b & 0x07;
    } else {
      return false;
    }
    if (length - i <= extra) return false;
    for (size_t k = 1; k <= extra; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
      u = u << 6 | (bytes[i + k] & 0x3F);
    }
    static const uint32_t kMinimum[4] = {0, 0x80, 0x800, 0x10000};
    if (u < kMinimum[extra] || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF)) return false;
    i += extra + 1;
  }
  return true;
}

void ReportFinding(const char* what) {
  std::fprintf(stderr, "fuzz finding: %s\n", what);
  std::abort();
}
