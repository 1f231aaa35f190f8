// Several independent signals, because each one alone is cheap to hide: a
// debugger-hiding plug-in clears the PEB flag, and a hooked
// CheckRemoteDebuggerPresent answers no, but hiding the kernel's own
// answers (debug port and debug object) as well is harder. Every signal
// reads the kernel's state of this process, so none fires without a
// debugger attached, on Windows or under Wine. The debug-flags query is left
// out on purpose: its NoDebugInherit bit stays cleared after a debugger has
// detached and any program can clear it, so it would end the game of a
// player with no debugger attached.
#include <windows.h>
#include <winternl.h>

#include "checks/detection_checks.h"
#include "platform/handle_owner.h"
#include "platform/win32_calls.h"

namespace {
constexpr ULONG kProcessDebugPort = 7;
constexpr ULONG kProcessDebugObjectHandle = 30;
constexpr LONG kStatusSuccess = 0;

LONG QueryProcess(ULONG informationClass, void* value, ULONG size) {
  ULONG returned = 0;
  return win32Calls.NtQueryInformationProcess(GetCurrentProcess(), static_cast<PROCESSINFOCLASS>(informationClass),
                                              value, size, &returned);
}

bool DebugPortIsSet() {
  ULONG_PTR port = 0;
  return QueryProcess(kProcessDebugPort, &port, sizeof(port)) == kStatusSuccess && port != 0;
}

// A debug object exists only while a debugger is attached; the query opens
// a handle to it, which is ours to close.
bool DebugObjectExists() {
  HANDLE debugObject = nullptr;
  LONG status = QueryProcess(kProcessDebugObjectHandle, &debugObject, sizeof(debugObject));
  if (status != kStatusSuccess || !debugObject) return false;
  HandleOwner owned(debugObject);
  return true;
}

bool RemoteDebuggerReported() {
  BOOL present = FALSE;
  return win32Calls.CheckRemoteDebuggerPresent(GetCurrentProcess(), &present) && present;
}
}  // namespace

bool DetectActiveDebugger() {
  // All signals are read every time: a hidden first signal must not hide
  // the others.
  bool pebFlag = win32Calls.IsDebuggerPresent() != FALSE;
  bool remote = RemoteDebuggerReported();
  bool port = DebugPortIsSet();
  bool object = DebugObjectExists();
  return pebFlag || remote || port || object;
}
