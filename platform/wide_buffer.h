#pragma once
// A heap buffer of UTF-16 text that reports allocation failure instead of
// throwing: the guard runs inside the game and must fail a call, not the
// process, when memory runs short.
#include <cstddef>
#include <cstdlib>
#include <cwchar>

class WideBuffer {
 public:
  WideBuffer() = default;
  WideBuffer(const WideBuffer&) = delete;
  WideBuffer& operator=(const WideBuffer&) = delete;
  ~WideBuffer() { std::free(chars_); }

  // Zero-filled room for `capacity` code units; the text is empty.
  bool Allocate(size_t capacity) {
    std::free(chars_);
    chars_ = static_cast<wchar_t*>(std::calloc(capacity ? capacity : 1, sizeof(wchar_t)));
    capacity_ = chars_ ? capacity : 0;
    length_ = 0;
    return chars_ != nullptr;
  }
  // Copies `length` code units and a terminator.
  bool Assign(const wchar_t* text, size_t length) {
    if (!Allocate(length + 1)) return false;
    std::wmemcpy(chars_, text, length);
    length_ = length;
    return true;
  }
  // Appends `length` code units, growing the buffer as needed.
  bool Append(const wchar_t* text, size_t length) {
    size_t need = length_ + length + 1;
    if (need > capacity_) {
      wchar_t* grown = static_cast<wchar_t*>(std::realloc(chars_, need * sizeof(wchar_t)));
      if (!grown) return false;
      chars_ = grown;
      capacity_ = need;
    }
    std::wmemcpy(chars_ + length_, text, length);
    length_ += length;
    chars_[length_] = L'\0';
    return true;
  }
  bool Append(const wchar_t* text) { return Append(text, std::wcslen(text)); }
  void Clear() {
    std::free(chars_);
    chars_ = nullptr;
    capacity_ = length_ = 0;
  }

  wchar_t* Data() { return chars_; }
  const wchar_t* CStr() const { return chars_ ? chars_ : L""; }
  size_t Length() const { return length_; }
  size_t Capacity() const { return capacity_; }
  bool Empty() const { return length_ == 0; }
  // The caller has written `length` units into Data(); terminate there.
  void SetLength(size_t length) {
    length_ = length;
    if (chars_ && length < capacity_) chars_[length] = L'\0';
  }

 private:
  wchar_t* chars_ = nullptr;
  size_t capacity_ = 0;
  size_t length_ = 0;
};
