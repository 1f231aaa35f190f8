#pragma once
// Heap bytes that report allocation failure instead of throwing, with a wipe
// policy: a buffer that may hold serial numbers, GUIDs or keys is zeroed
// (with a wipe the optimiser cannot drop) whenever it lets its bytes go.
#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

enum class BufferWipe {
  kNone,       // system tables without secrets: plain malloc and free
  kOnRelease,  // zero-filled when allocated, wiped before it is freed
};

template <BufferWipe Wipe>
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ~ByteBuffer() { Free(); }

  // Replaces the bytes with `size` new ones (at least one is allocated).
  bool Allocate(size_t size) {
    Free();
    const size_t bytes = size ? size : 1;
    bytes_ = static_cast<uint8_t*>(Wipe == BufferWipe::kOnRelease ? std::calloc(bytes, 1) : std::malloc(bytes));
    size_ = bytes_ ? size : 0;
    return bytes_ != nullptr;
  }
  uint8_t* Data() const { return bytes_; }
  size_t Size() const { return size_; }

  // Lets a growing owner move its bytes into a larger buffer without a copy
  // of the owner itself; whatever is swapped out is wiped when it is freed.
  void Swap(ByteBuffer& other) {
    uint8_t* const bytes = bytes_;
    const size_t size = size_;
    bytes_ = other.bytes_;
    size_ = other.size_;
    other.bytes_ = bytes;
    other.size_ = size;
  }

  // Lets the bytes go now (wiped first, by the policy) rather than at the
  // end of the owner's scope.
  void Free() {
    if (!bytes_) return;
    if (Wipe == BufferWipe::kOnRelease) SecureZeroMemory(bytes_, size_);
    std::free(bytes_);
    bytes_ = nullptr;
    size_ = 0;
  }

 private:
  uint8_t* bytes_ = nullptr;
  size_t size_ = 0;
};
