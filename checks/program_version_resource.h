#pragma once
// The version resource of a program's image file, read with the loader's
// resource functions and walked here: version.dll is not imported, because
// a planted version.dll beside the client would then be loaded into it.
#include <cstddef>
#include <cstdint>

#include "checks/detection_checks.h"

// The blocked-program row that the product name or original file name of
// any string table names, or null (also when the file has no readable
// version resource). Names are found as VerQueryValue finds them for every
// program that shows them: keys in either ASCII case, the first of a name. A 64-bit program's file in System32 is read through
// Sysnative, so that a 32-bit client reads that file and not its SysWOW64
// namesake.
const BlockRule* MatchProgramVersionResource(const wchar_t* imagePath);

// The same judgement over resource bytes already in memory; every length
// and offset in them is checked against `size`.
const BlockRule* MatchVersionResourceBytes(const uint8_t* data, size_t size);
