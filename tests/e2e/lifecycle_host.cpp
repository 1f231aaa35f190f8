// A 32-bit host that loads ZarnelGuard.dll with LoadLibraryW and drives its
// lifecycle exports; prints "key=value" lines for the test to check.
//   lifecycle_host sequence       initial state, shutdown twice, start, shutdown, start again
//   lifecycle_host long-message   (no-op placeholder for hosts that need a fresh process)
//   lifecycle_host start-twice    start, and without a shutdown start again
//   lifecycle_host preload NAME   load the file NAME beside this program first (as a
//                                 game that loaded a planted library would), then start
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "ZarnelGuard.h"

namespace {
HMODULE guardModule;

template <typename T>
T Export(const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(guardModule, name)));
}

void PrintText(const char* key, const wchar_t* text) { std::printf("%s=%ls\n", key, text ? text : L"(null)"); }
}  // namespace

int wmain(int argc, wchar_t** argv) {
  const wchar_t* scenario = argc > 1 ? argv[1] : L"sequence";
  if (std::wcscmp(scenario, L"preload") == 0 && argc > 2) {
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    while (length > 0 && path[length - 1] != L'\\') --length;
    path[length] = L'\0';
    if (length + std::wcslen(argv[2]) >= MAX_PATH) return 2;
    std::wcscat(path, argv[2]);
    std::printf("preloaded=%d\n", LoadLibraryW(path) != nullptr);
    std::fflush(stdout);
  }
  guardModule = LoadLibraryW(L"ZarnelGuard.dll");
  if (!guardModule) {
    std::printf("load_error=%lu\n", GetLastError());
    return 2;
  }
  auto initialize = Export<decltype(&ZarnelGuardInitialize)>("ZarnelGuardInitialize");
  auto shutdown = Export<decltype(&ZarnelGuardShutdown)>("ZarnelGuardShutdown");
  auto lastError = Export<decltype(&ZarnelGuardGetLastError)>("ZarnelGuardGetLastError");
  auto clientBuild = Export<decltype(&ZarnelGuardGetClientBuild)>("ZarnelGuardGetClientBuild");
  if (!initialize || !shutdown || !lastError || !clientBuild) {
    std::printf("missing_export=1\n");
    return 2;
  }

  if (std::wcscmp(scenario, L"sequence") == 0) {
    PrintText("initial_text", lastError());
    std::printf("build_before=%d\n", clientBuild());
    shutdown();
    shutdown();
    std::printf("shutdown_before_start=returned\n");
    int32_t first = initialize();
    std::printf("initialize_first=%d\n", first != 0);
    PrintText("text_after_start", lastError());
    std::printf("build_running=%d\n", clientBuild());
    shutdown();
    std::printf("initialize_after_shutdown=%d\n", initialize() != 0);
    shutdown();
    std::printf("build_after=%d\n", clientBuild());
    std::fflush(stdout);
    return 0;
  }
  if (std::wcscmp(scenario, L"preload") == 0) {
    std::printf("initialize=%d\n", initialize() != 0);
    PrintText("text", lastError());
    shutdown();
    std::fflush(stdout);
    return 0;
  }
  if (std::wcscmp(scenario, L"start-twice") == 0) {
    std::printf("initialize_first=%d\n", initialize() != 0);
    PrintText("text_first", lastError());
    std::printf("initialize_second=%d\n", initialize() != 0);
    PrintText("text_second", lastError());
    shutdown();
    std::fflush(stdout);
    return 0;
  }
  std::printf("unknown_scenario=1\n");
  return 2;
}
