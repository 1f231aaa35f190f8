#pragma once
// One owner for every kind of handle that a routine opens and must close on
// every path, with a traits type per kind: the value that means "none" (NULL
// for most handles, INVALID_HANDLE_VALUE for CreateFileW's, 0 for CryptoAPI
// and NCrypt ones) and the call that closes it. Closing leaves the thread's
// last error as it was, so a failure path can still read it.
#include <windows.h>
#include <wincrypt.h>
#include <ncrypt.h>

#include "platform/win32_calls.h"

template <typename Traits>
class UniqueOwner {
 public:
  using Value = typename Traits::Value;

  UniqueOwner() = default;
  explicit UniqueOwner(Value value) : value_(value) {}
  UniqueOwner(const UniqueOwner&) = delete;
  UniqueOwner& operator=(const UniqueOwner&) = delete;
  ~UniqueOwner() { Reset(); }

  bool Valid() const { return value_ != Traits::kEmpty; }
  Value Get() const { return value_; }
  // Where a call that opens one writes it: whatever was held is closed
  // first. Pass the call's success to KeepIf.
  Value* Receive() {
    Reset();
    return &value_;
  }
  // After a call wrote through Receive(): keeps the value when the call
  // succeeded, and otherwise drops whatever it may have written unclosed (a
  // failed open owns nothing). Returns `opened`.
  bool KeepIf(bool opened) {
    if (!opened) value_ = Traits::kEmpty;
    return opened;
  }
  // Hands the value to a new owner (for example the guard state).
  Value Release() {
    Value value = value_;
    value_ = Traits::kEmpty;
    return value;
  }
  void Reset() { Reset(Traits::kEmpty); }
  void Reset(Value value) {
    if (value_ != Traits::kEmpty) {
      DWORD savedError = GetLastError();
      Traits::Close(value_);
      SetLastError(savedError);
    }
    value_ = value;
  }

 private:
  Value value_ = Traits::kEmpty;
};

struct HandleTraits {
  using Value = HANDLE;
  static constexpr HANDLE kEmpty = nullptr;
  static void Close(HANDLE handle) { win32Calls.CloseHandle(handle); }
};
// CreateFileW and CreateToolhelp32Snapshot fail with INVALID_HANDLE_VALUE.
struct InvalidValueHandleTraits {
  using Value = HANDLE;
  static inline const HANDLE kEmpty = INVALID_HANDLE_VALUE;
  static void Close(HANDLE handle) { win32Calls.CloseHandle(handle); }
};
struct ModuleTraits {
  using Value = HMODULE;
  static constexpr HMODULE kEmpty = nullptr;
  static void Close(HMODULE module) { win32Calls.FreeLibrary(module); }
};
struct NCryptObjectTraits {
  using Value = NCRYPT_HANDLE;
  static constexpr NCRYPT_HANDLE kEmpty = 0;
  static void Close(NCRYPT_HANDLE object) { win32Calls.NCryptFreeObject(object); }
};
struct RegistryKeyTraits {
  using Value = HKEY;
  static constexpr HKEY kEmpty = nullptr;
  static void Close(HKEY key) { win32Calls.RegCloseKey(key); }
};
struct CryptHashTraits {
  using Value = HCRYPTHASH;
  static constexpr HCRYPTHASH kEmpty = 0;
  static void Close(HCRYPTHASH hash) { win32Calls.CryptDestroyHash(hash); }
};
struct CryptContextTraits {
  using Value = HCRYPTPROV;
  static constexpr HCRYPTPROV kEmpty = 0;
  static void Close(HCRYPTPROV provider) { win32Calls.CryptReleaseContext(provider, 0); }
};

using HandleOwner = UniqueOwner<HandleTraits>;
using FileHandleOwner = UniqueOwner<InvalidValueHandleTraits>;
using ModuleOwner = UniqueOwner<ModuleTraits>;
using NCryptObjectOwner = UniqueOwner<NCryptObjectTraits>;
using RegistryKeyOwner = UniqueOwner<RegistryKeyTraits>;
using CryptHashOwner = UniqueOwner<CryptHashTraits>;
using CryptContextOwner = UniqueOwner<CryptContextTraits>;
