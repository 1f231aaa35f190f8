#pragma once
// Messages live in fixed buffers (the last-error text, the hard-cheat end
// texts): a long one loses its end instead of overflowing.
#include <cstdarg>
#include <cstddef>

// printf-style wide formatting into `capacity` code units, cut at
// capacity - 1 and always terminated.
void FormatBoundedText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...);
void FormatBoundedTextV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args);
