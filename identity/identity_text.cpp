#include "identity/identity_text.h"

#include <windows.h>

#include <cstring>
#include <new>

#include "platform/win32_calls.h"
#include "identity/identity_value_rules.h"

namespace {
// Above Latin-1 the system's character-type table decides what is a space
// (U+2000 to U+200A, U+3000 and so on).
bool IsSystemWhiteSpace(wchar_t unit) {
  WORD type = 0;
  return win32Calls.GetStringTypeW(CT_CTYPE1, &unit, 1, &type) && (type & C1_SPACE) != 0;
}

bool IsValidComponentName(const char* name) {
  if (!name || !*name) return false;
  for (const char* c = name; *c; ++c) {
    const bool allowed = (*c >= 'a' && *c <= 'z') || (*c >= '0' && *c <= '9') || *c == '-';
    if (!allowed) return false;
  }
  return true;
}

struct AcceptedComponent {
  const char* name;
  IdentityBytes value;
  bool primary;
};

// The working arrays of one serialisation, released on every path (their
// values wipe themselves).
struct AcceptedList {
  AcceptedComponent* items = nullptr;
  AcceptedComponent** order = nullptr;
  size_t count = 0;

  AcceptedList() = default;
  AcceptedList(const AcceptedList&) = delete;
  AcceptedList& operator=(const AcceptedList&) = delete;
  ~AcceptedList() {
    delete[] items;
    delete[] order;
  }
  bool Allocate(size_t capacity) {
    items = new (std::nothrow) AcceptedComponent[capacity];
    order = new (std::nothrow) AcceptedComponent*[capacity];
    return items && order;
  }
  // Ascending byte order of the names; a handful of entries, so insertion sort.
  void SortByName() {
    for (size_t i = 0; i < count; ++i) order[i] = &items[i];
    for (size_t i = 1; i < count; ++i) {
      AcceptedComponent* current = order[i];
      size_t j = i;
      for (; j > 0 && std::strcmp(order[j - 1]->name, current->name) > 0; --j) order[j] = order[j - 1];
      order[j] = current;
    }
  }
};

bool AppendLine(IdentityBytes& text, const AcceptedComponent& component) {
  static const char kSeparator = '=';
  static const char kLineFeed = '\n';
  return text.Append(component.name, std::strlen(component.name)) && text.Append(&kSeparator, 1) &&
         text.Append(component.value.Data(), component.value.Length()) && text.Append(&kLineFeed, 1);
}
}  // namespace

bool NormalizeIdentityValue(const wchar_t* value, size_t length, IdentityBytes& utf8) {
  utf8.Clear();
  if (!value) return false;
  wchar_t folded[kIdentityValueMaxUnits];
  size_t foldedLength = 0;
  bool accepted = FoldIdentityValue(value, length, IsSystemWhiteSpace, folded, &foldedLength) &&
                  !IsPlaceholderIdentityValue(folded, foldedLength);
  if (accepted) {
    // Unpaired surrogates make the conversion fail instead of turning into U+FFFD.
    const int units = static_cast<int>(foldedLength);
    const int size = win32Calls.WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, folded, units, nullptr, 0,
                                                    nullptr, nullptr);
    accepted = size > 0 && static_cast<size_t>(size) <= kIdentityValueMaxUtf8Bytes && utf8.Reserve(size) &&
               win32Calls.WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, folded, units,
                                              reinterpret_cast<char*>(utf8.Data()), size, nullptr, nullptr) == size;
    if (accepted) utf8.SetLength(static_cast<size_t>(size));
  }
  SecureZeroMemory(folded, sizeof(folded));
  if (!accepted) utf8.Clear();
  return accepted;
}

bool SerializeIdentityComponents(const IdentityComponent* components, size_t count, IdentityBytes& text) {
  text.Clear();
  AcceptedList accepted;
  if (count > 0 && !accepted.Allocate(count)) return false;
  for (size_t i = 0; i < count; ++i) {
    const IdentityComponent& component = components[i];
    if (!IsValidComponentName(component.name)) return false;
    AcceptedComponent& slot = accepted.items[accepted.count];
    if (!NormalizeIdentityValue(component.value, component.valueLength, slot.value)) continue;
    slot.name = component.name;
    slot.primary = component.primary;
    ++accepted.count;
  }
  accepted.SortByName();

  bool anyPrimary = false;
  for (size_t i = 0; i < accepted.count; ++i) anyPrimary = anyPrimary || accepted.order[i]->primary;
  if (accepted.count < 2 || !anyPrimary) return false;

  for (size_t i = 0; i < accepted.count; ++i) {
    const AcceptedComponent& component = *accepted.order[i];
    const bool repeated = i > 0 && std::strcmp(component.name, accepted.order[i - 1]->name) == 0;
    if (repeated || !AppendLine(text, component) || text.Length() > kIdentityTextMaxBytes) {
      text.Clear();
      return false;
    }
  }
  return true;
}
