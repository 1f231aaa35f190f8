#include "state/guard_state.h"

#include <cstdarg>
#include <cwchar>

#include "platform/bounded_text.h"

GuardState guard;

void SetLastErrorText(const wchar_t* format, ...) {
  // Formatting into a scratch buffer first means a reader on another thread
  // never sees the text half-formatted for longer than one copy, and a
  // message that refers to the text itself ("%ls", lastErrorText) formats
  // from an intact source.
  wchar_t scratch[kLastErrorTextCapacity];
  va_list args;
  va_start(args, format);
  FormatBoundedTextV(scratch, kLastErrorTextCapacity, format, args);
  va_end(args);
  std::wmemcpy(guard.lastErrorText, scratch, kLastErrorTextCapacity);
}
