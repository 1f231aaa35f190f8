#pragma once
// A heap byte string for identity texts and messages. It reports allocation
// failure instead of throwing, and overwrites every copy it lets go of
// (growth included), since the bytes are serial numbers and GUIDs.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
inline void WipeIdentityMemory(void* memory, size_t size) { SecureZeroMemory(memory, size); }
#else
inline void WipeIdentityMemory(void* memory, size_t size) {
  volatile unsigned char* bytes = static_cast<volatile unsigned char*>(memory);
  while (size--) *bytes++ = 0;
}
#endif

class IdentityBytes {
 public:
  IdentityBytes() = default;
  IdentityBytes(const IdentityBytes&) = delete;
  IdentityBytes& operator=(const IdentityBytes&) = delete;
  ~IdentityBytes() { Clear(); }

  // Room for `capacity` bytes in all, keeping the content.
  bool Reserve(size_t capacity) {
    if (capacity <= capacity_) return true;
    uint8_t* grown = static_cast<uint8_t*>(std::calloc(capacity, 1));
    if (!grown) return false;
    if (bytes_) {
      std::memcpy(grown, bytes_, length_);
      WipeIdentityMemory(bytes_, capacity_);
      std::free(bytes_);
    }
    bytes_ = grown;
    capacity_ = capacity;
    return true;
  }
  bool Append(const void* data, size_t length) {
    if (length > SIZE_MAX - length_) return false;
    if (length_ + length > capacity_ && !Reserve(length_ + length)) return false;
    if (length) std::memcpy(bytes_ + length_, data, length);
    length_ += length;
    return true;
  }
  // The caller has written `length` bytes into Data() after Reserve().
  void SetLength(size_t length) { length_ = length <= capacity_ ? length : capacity_; }
  void Clear() {
    if (bytes_) {
      WipeIdentityMemory(bytes_, capacity_);
      std::free(bytes_);
    }
    bytes_ = nullptr;
    capacity_ = length_ = 0;
  }

  uint8_t* Data() { return bytes_; }
  const uint8_t* Data() const { return bytes_; }
  size_t Length() const { return length_; }

 private:
  uint8_t* bytes_ = nullptr;
  size_t capacity_ = 0;
  size_t length_ = 0;
};
