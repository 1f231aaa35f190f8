#pragma once
// Models of the few system calls the identity parsers make, good enough for
// the fuzzer to reach every branch behind them: the raw firmware table, the
// ANSI code page as Windows-1252, strict UTF-16 to UTF-8 and the C1_SPACE
// class above Latin-1.
// Plus the helpers the targets share: input splitting and a finding report
// that aborts, so that libFuzzer saves the input.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/win32_calls.h"

UINT ModelGetSystemFirmwareTable(DWORD provider, DWORD id, PVOID buffer, DWORD size);
int ModelMultiByteToWideChar(UINT codePage, DWORD flags, LPCCH source, int sourceLength, LPWSTR target,
                             int targetLength);
int ModelWideCharToMultiByte(UINT codePage, DWORD flags, LPCWCH source, int sourceLength, LPSTR target,
                             int targetLength, LPCCH defaultChar, LPBOOL usedDefault);
BOOL ModelGetStringTypeW(DWORD infoType, LPCWCH source, int length, LPWORD types);

// The firmware table that ModelGetSystemFirmwareTable serves.
void SetModelFirmwareTable(const uint8_t* bytes, size_t size);

// Little-endian byte pairs as 16-bit code units in a 32-bit wchar_t: the
// value range Windows code sees. An odd last byte is dropped.
std::vector<wchar_t> UnitsFromBytes(const uint8_t* data, size_t size);

// Strict UTF-8 check (no surrogates, no overlong forms, nothing past U+10FFFF).
bool IsValidUtf8(const uint8_t* bytes, size_t length);

[[noreturn]] void ReportFinding(const char* what);
#define FUZZ_LINE_TEXT(line) #line
#define FUZZ_LINE(line) FUZZ_LINE_TEXT(line)
#define FUZZ_CHECK(condition)                                                             \
  do {                                                                                    \
    if (!(condition)) ReportFinding(#condition " at " __FILE__ ":" FUZZ_LINE(__LINE__)); \
  } while (0)
