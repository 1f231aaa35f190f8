#pragma once
// The end texts of the hard-cheat exchange live in fixed buffers: a long
// message loses its end instead of overflowing.
#include <cstddef>

// printf-style wide formatting into `capacity` code units, cut at
// capacity - 1 and always terminated.
void FormatBoundedText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
