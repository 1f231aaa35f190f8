// The image-load policy: the client refuses DLLs that a low-integrity
// process wrote (what a sandboxed browser download or an exploited
// low-integrity helper leaves behind) and, unless the client itself runs
// from a network share, DLLs loaded from remote locations (a favourite way
// to load injected code without touching the disk). Both keep the client's
// own unsigned companion DLLs, graphics drivers and overlays working, which
// the stricter policies do not: signature enforcement rejects unsigned
// overlays and companion DLLs, dynamic-code prohibition breaks JIT-based
// overlays and drivers, extension-point disabling breaks input-method
// editors and hook-based overlays, and preferring System32 images would
// swap the client's own redistributable DLLs for older system copies.
#include <windows.h>

#include <cwchar>

#include "checks/detection_checks.h"
#include "platform/win32_calls.h"
#include "integrity/client_paths.h"

namespace {
using SetProcessMitigationPolicyFunction = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);

// True when the client directory is on a network share, or cannot be told:
// refusing remote images would then refuse the client's own DLLs.
bool ClientRunsFromNetwork() {
  WideBuffer directory;
  if (!ResolveClientDirectory(directory) || directory.Length() < 3) return true;
  const wchar_t* path = directory.CStr();
  if (path[0] == L'\\' && path[1] == L'\\') {
    // "\\?\C:\..." is local; "\\server\..." and "\\?\UNC\..." are not.
    if (!(path[2] == L'?' && path[3] == L'\\' && directory.Length() >= 7 && path[5] == L':')) return true;
    path += 4;
  }
  wchar_t root[4] = {path[0], path[1], L'\\', L'\0'};
  if (root[1] != L':') return true;
  return win32Calls.GetDriveTypeW(root) == DRIVE_REMOTE;
}
}  // namespace

void ApplyProcessHardening() {
  HMODULE kernel32 = win32Calls.GetModuleHandleW(L"kernel32.dll");
  if (!kernel32) return;
  auto setPolicy = reinterpret_cast<SetProcessMitigationPolicyFunction>(
      reinterpret_cast<void*>(win32Calls.GetProcAddress(kernel32, "SetProcessMitigationPolicy")));
  if (!setPolicy) return;  // before Windows 8: nothing to apply
  PROCESS_MITIGATION_IMAGE_LOAD_POLICY policy = {};
  policy.NoLowMandatoryLabelImages = 1;
  policy.NoRemoteImages = ClientRunsFromNetwork() ? 0 : 1;
  // The result is ignored: a system that refuses the policy still runs the
  // game, and the other checks do not depend on it.
  setPolicy(ProcessImageLoadPolicy, &policy, sizeof(policy));
}
