#pragma once
// Rules over path texts that ask nothing of the system: the bare-name rule
// for manifest entries, the extended-length prefix, ASCII-only folding and
// the directory part of a path. Pure, so that they are fuzzed as they ship.
#include <cstddef>

#include "platform/wide_buffer.h"

// A name that can only ever mean a file directly inside a directory: false
// for null, empty, ".", "..", or any name holding a backslash, slash or colon.
bool IsBareFileName(const wchar_t* name);

// "\\?\UNC\server\share" -> "\\server\share"; "\\?\C:\x" -> "C:\x"; any
// other path unchanged. Case-sensitive, in place.
void StripExtendedPathPrefix(WideBuffer& path);

// 4 when the path starts with the verbatim prefix "\\?\" (of any form, the
// "\\?\UNC\" one included), else 0: what a comparison with a plain drive
// path skips. Case-sensitive.
size_t VerbatimPrefixLength(const wchar_t* path);

// Equal length and equal code units, with only A-Z folded to a-z: no locale,
// no other normalisation.
bool PathsEqualFoldingAscii(const wchar_t* a, size_t aLength, const wchar_t* b, size_t bLength);

// The length of the path up to and including its last backslash or slash;
// 0 when it holds neither.
size_t DirectoryPartLength(const wchar_t* path, size_t length);
