// The system's functions declared as plain functions, not as imports: their
// addresses are then those of the import thunks, which the linker fixes, so
// that the table is a constant the compiler can place in read-only data
// (the address of an import itself is only known once the loader has bound
// it). One jump more per call.
#define _KERNEL32_
#define _ADVAPI32_
#define _NTSYSTEM_
#define WINIMPM
#include "platform/win32_calls.h"

#include "platform/system_library_calls.h"

namespace {
// The entries of ncrypt and bcrypt resolve to the forwarders that load those
// libraries from the system directory (an unqualified name finds these
// declarations before the global imports); every other entry is the import.
namespace resolved {
using system_library::BCryptGenRandom;
using system_library::NCryptCreatePersistedKey;
using system_library::NCryptExportKey;
using system_library::NCryptFinalizeKey;
using system_library::NCryptFreeObject;
using system_library::NCryptGetProperty;
using system_library::NCryptOpenKey;
using system_library::NCryptOpenStorageProvider;
using system_library::NCryptSetProperty;
using system_library::NCryptSignHash;

constexpr Win32Calls kRealWin32Calls = {
#define WIN32_CALL(name) &name,
#include "platform/win32_call_list.h"
#undef WIN32_CALL
};
}  // namespace resolved
}  // namespace

#ifdef ZARNELGUARD_TEST_SEAM
Win32Calls win32Calls = resolved::kRealWin32Calls;

void RestoreWin32Calls() { win32Calls = resolved::kRealWin32Calls; }
#else
extern const Win32Calls win32Calls = resolved::kRealWin32Calls;
#endif
