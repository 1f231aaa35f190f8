#pragma once
// The handful of Windows types, constants and helpers that the parsing code
// names, for the native fuzz build only. It stops at what those files use:
// anything more would let Windows-only code compile here by accident.
//
// wchar_t is 32 bits on Linux and 16 on Windows. The targets only ever put
// values 0 to 0xFFFF into wide texts, so the code sees the unit range it sees
// on Windows (surrogates included, unpaired or not).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>

#ifndef _WIN32
#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef unsigned int UINT;
typedef int32_t LONG;
typedef void* PVOID;
typedef void* HANDLE;
typedef void* HMODULE;
typedef wchar_t WCHAR;
typedef const wchar_t* LPCWSTR;
typedef wchar_t* LPWSTR;
typedef const wchar_t* LPCWCH;
typedef const char* LPCCH;
typedef const char* LPCSTR;
typedef char* LPSTR;
typedef BOOL* LPBOOL;
typedef WORD* LPWORD;

#define TRUE 1
#define FALSE 0
#define MAXDWORD 0xFFFFFFFFu

#define CP_ACP 0u
#define CP_UTF8 65001u
#define WC_ERR_INVALID_CHARS 0x80u
#define MB_ERR_INVALID_CHARS 0x08u
#define CT_CTYPE1 0x1u
#define C1_SPACE 0x8

#define ERROR_SUCCESS 0u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_NO_UNICODE_TRANSLATION 1113u
#define ERROR_INVALID_PARAMETER 87u

// A wipe the optimiser may not drop, as on Windows.
inline void* SecureZeroMemory(void* memory, size_t size) {
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(memory);
  while (size--) *bytes++ = 0;
  return memory;
}
#endif
