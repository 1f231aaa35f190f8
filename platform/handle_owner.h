#pragma once
// Small owners for the handles that a routine opens and must close on every
// path. They keep NULL and INVALID_HANDLE_VALUE apart (CreateFileW fails with
// the second, most other calls with the first) and leave the thread's last
// error as it was when they close, so a failure path can still read it.
#include <windows.h>
#include "platform/win32_calls.h"

// Empty is 0 for most handles, INVALID_HANDLE_VALUE for CreateFileW's.
template <bool EmptyIsMinusOne>
class BasicHandleOwner {
  static HANDLE Empty() { return EmptyIsMinusOne ? INVALID_HANDLE_VALUE : nullptr; }

 public:
  BasicHandleOwner() = default;
  explicit BasicHandleOwner(HANDLE h) : handle_(h) {}
  BasicHandleOwner(const BasicHandleOwner&) = delete;
  BasicHandleOwner& operator=(const BasicHandleOwner&) = delete;
  ~BasicHandleOwner() { Reset(); }

  bool Valid() const { return handle_ != Empty(); }
  HANDLE Get() const { return handle_; }
  // Hands the handle to a new owner (for example the guard state).
  HANDLE Release() {
    HANDLE h = handle_;
    handle_ = Empty();
    return h;
  }
  void Reset() { Reset(Empty()); }
  void Reset(HANDLE h) {
    if (handle_ != Empty()) {
      DWORD savedError = GetLastError();
      win32Calls.CloseHandle(handle_);
      SetLastError(savedError);
    }
    handle_ = h;
  }

 private:
  HANDLE handle_ = Empty();
};

using HandleOwner = BasicHandleOwner<false>;
using FileHandleOwner = BasicHandleOwner<true>;
