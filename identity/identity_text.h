#pragma once
// The machine identity text: normalised component values, sorted by name,
// one "name=value\n" line each.
#include <cstddef>

#include "identity/identity_bytes.h"

constexpr size_t kIdentityValueMaxUtf8Bytes = 1024;
constexpr size_t kIdentityTextMaxBytes = 4096;

struct IdentityComponent {
  const char* name;      // a literal of a to z, 0 to 9 and "-"
  const wchar_t* value;  // as collected, not owned; may be empty
  size_t valueLength;    // code units
  bool primary;          // bound to the machine (registry, firmware), not the volume
};

// Folds white space, screens control characters, length and placeholders,
// and converts to UTF-8. True with the UTF-8 bytes in `utf8`; false with
// `utf8` empty when the value is not usable as an identity component.
bool NormalizeIdentityValue(const wchar_t* value, size_t length, IdentityBytes& utf8);

// True with the machine identity text in `text`; false with `text` empty for
// a bad or repeated name, fewer than two usable components, none of them
// primary, or a text over kIdentityTextMaxBytes. Unusable values are dropped.
bool SerializeIdentityComponents(const IdentityComponent* components, size_t count, IdentityBytes& text);
