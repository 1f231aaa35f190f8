#pragma once
// A growable byte string for identity texts and messages. It reports
// allocation failure instead of throwing, and keeps its bytes in a buffer
// that is wiped whenever it lets them go (growth included), since the bytes
// are serial numbers and GUIDs.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/byte_buffer.h"

class IdentityBytes {
 public:
  IdentityBytes() = default;
  IdentityBytes(const IdentityBytes&) = delete;
  IdentityBytes& operator=(const IdentityBytes&) = delete;

  // Room for `capacity` bytes in all, keeping the content.
  bool Reserve(size_t capacity) {
    if (capacity <= storage_.Size()) return true;
    ByteBuffer<BufferWipe::kOnRelease> grown;
    if (!grown.Allocate(capacity)) return false;
    if (length_) std::memcpy(grown.Data(), storage_.Data(), length_);
    // The old bytes leave with `grown` at the end of this scope, wiped.
    storage_.Swap(grown);
    return true;
  }
  bool Append(const void* data, size_t length) {
    if (length > SIZE_MAX - length_) return false;
    if (length_ + length > storage_.Size() && !Reserve(length_ + length)) return false;
    if (length) std::memcpy(storage_.Data() + length_, data, length);
    length_ += length;
    return true;
  }
  // The caller has written `length` bytes into Data() after Reserve().
  void SetLength(size_t length) { length_ = length <= storage_.Size() ? length : storage_.Size(); }
  void Clear() {
    storage_.Free();
    length_ = 0;
  }

  uint8_t* Data() { return storage_.Data(); }
  const uint8_t* Data() const { return storage_.Data(); }
  size_t Length() const { return length_; }

 private:
  ByteBuffer<BufferWipe::kOnRelease> storage_;
  size_t length_ = 0;
};
