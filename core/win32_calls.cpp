#include "core/win32_calls.h"

namespace {
constexpr Win32Calls kRealWin32Calls = {
#define WIN32_CALL(name) &::name,
#include "core/win32_call_list.h"
#undef WIN32_CALL
};
}  // namespace

Win32Calls win32Calls = kRealWin32Calls;

void RestoreWin32Calls() { win32Calls = kRealWin32Calls; }
