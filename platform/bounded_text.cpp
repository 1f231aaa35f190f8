#include "platform/bounded_text.h"

#include <cwchar>

void FormatBoundedTextV(wchar_t* buffer, size_t capacity, const wchar_t* format, va_list args) {
  if (!buffer || capacity == 0) return;
  // On truncation _vsnwprintf returns -1 and leaves no terminator; what it
  // wrote up to capacity - 1 units is kept.
  int written = _vsnwprintf(buffer, capacity - 1, format, args);
  buffer[capacity - 1] = L'\0';
  if (written >= 0 && static_cast<size_t>(written) < capacity) buffer[written] = L'\0';
}

void FormatBoundedText(wchar_t* buffer, size_t capacity, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  FormatBoundedTextV(buffer, capacity, format, args);
  va_end(args);
}
