// A 32-bit host that loads ZarnelGuard.dll from its own directory and keeps
// the guard started (or failed) until the test lets it go, so that the test
// can look at the client files from another process meanwhile.
//   client_files_host NAME
// prints "initialize=0|1" and "message=<last-error text>", then
//   signals NAME-started, waits for NAME-shutdown, calls ZarnelGuardShutdown,
//   signals NAME-stopped, waits for NAME-exit.
#include <windows.h>

#include <cstdio>
#include <string>

#include "ZarnelGuard.h"

namespace {
template <typename T>
T Export(HMODULE module, const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

HANDLE OpenNamedEvent(const std::wstring& name) { return OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, name.c_str()); }
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 2;
  std::wstring prefix = argv[1];
  HANDLE started = OpenNamedEvent(prefix + L"-started");
  HANDLE shutdownRequest = OpenNamedEvent(prefix + L"-shutdown");
  HANDLE stopped = OpenNamedEvent(prefix + L"-stopped");
  HANDLE exitRequest = OpenNamedEvent(prefix + L"-exit");
  if (!started || !shutdownRequest || !stopped || !exitRequest) return 3;

  HMODULE guard = LoadLibraryW(L"ZarnelGuard.dll");
  if (!guard) return 4;
  auto initialize = Export<decltype(&ZarnelGuardInitialize)>(guard, "ZarnelGuardInitialize");
  auto shutdown = Export<decltype(&ZarnelGuardShutdown)>(guard, "ZarnelGuardShutdown");
  auto lastError = Export<decltype(&ZarnelGuardGetLastError)>(guard, "ZarnelGuardGetLastError");
  if (!initialize || !shutdown || !lastError) return 5;

  int32_t result = initialize();
  std::printf("initialize=%d\nmessage=%ls\n", result != 0, lastError());
  std::fflush(stdout);
  SetEvent(started);
  WaitForSingleObject(shutdownRequest, INFINITE);
  shutdown();
  SetEvent(stopped);
  WaitForSingleObject(exitRequest, INFINITE);
  return 0;
}
