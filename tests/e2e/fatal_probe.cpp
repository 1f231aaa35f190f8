// Takes the guard's fatal exit for real, in its own process, so a test can
// watch the exit code and the error helper from outside. Linked with the
// guard's code; its own directory plays the client directory.
//   fatal_probe running <code>          guard running, decoy inheritable handles open
//   fatal_probe idle <code>             guard not running
//   fatal_probe race <code>             two threads take the fatal exit together
//   fatal_probe terminate-returns <code> TerminateProcess fails and returns
#include <windows.h>

#include <cwchar>

#include "checks/fatal_exit.h"
#include "state/guard_state.h"
#include "platform/win32_calls.h"

namespace {
HANDLE raceStart;
const wchar_t* raceCode;

DWORD WINAPI RaceThread(LPVOID) {
  WaitForSingleObject(raceStart, INFINITE);
  FatalExit(raceCode, L"race");
}

BOOL WINAPI TerminateThatReturns(HANDLE, UINT) {
  SetLastError(ERROR_ACCESS_DENIED);
  return FALSE;
}

// Handles that would reach the helper if the guard let every inheritable
// handle through; the helper reports any it finds.
void OpenDecoyHandles() {
  SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
  CreateEventW(&inheritable, TRUE, FALSE, L"ZarnelGuardTestDecoyEvent");
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, &inheritable, OPEN_EXISTING, 0, nullptr);
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const wchar_t* scenario = argv[1];
  const wchar_t* code = argv[2];
  if (std::wcscmp(code, L"<empty>") == 0) code = L"";
  guard.moduleHandle = GetModuleHandleW(nullptr);

  if (std::wcscmp(scenario, L"idle") == 0) FatalExit(code, L"probe");
  SetGuardRunning(true);
  OpenDecoyHandles();
  if (std::wcscmp(scenario, L"running") == 0) FatalExit(code, L"probe");
  if (std::wcscmp(scenario, L"terminate-returns") == 0) {
    win32Calls.TerminateProcess = TerminateThatReturns;
    FatalExit(code, L"probe");
  }
  if (std::wcscmp(scenario, L"race") == 0) {
    raceStart = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    raceCode = code;
    HANDLE threads[2] = {CreateThread(nullptr, 0, RaceThread, nullptr, 0, nullptr),
                         CreateThread(nullptr, 0, RaceThread, nullptr, 0, nullptr)};
    Sleep(50);
    SetEvent(raceStart);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
  }
  return 3;  // never reached when the fatal exit works
}
