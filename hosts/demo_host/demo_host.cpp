// Zarnel.exe for the demo: a stand-in for the game client's use of the guard.
#include <windows.h>

#include <cstdio>

#include "ZarnelGuard.h"
#include "companions.h"

namespace {
struct GuardApi {
  decltype(&ZarnelGuardInitialize) initialize;
  decltype(&ZarnelGuardShutdown) shutdown;
  decltype(&ZarnelGuardGetLastError) getLastError;
  decltype(&ZarnelGuardGetClientBuild) getClientBuild;
};

template <typename T>
bool Resolve(HMODULE module, const char* name, T& out) {
  out = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  if (!out) std::printf("guard export %s is missing\n", name);
  return out != nullptr;
}
}  // namespace

int wmain() {
  std::printf("Zarnel: companions %s %s %s %s %s\n", ZarnelRenderDescribe(), ZarnelAudioDescribe(), ZarnelNetDescribe(),
              ZarnelInputDescribe(), ZarnelScriptDescribe());
  HMODULE module = LoadLibraryW(L"ZarnelGuard.dll");
  if (!module) {
    std::printf("Zarnel: cannot load ZarnelGuard.dll (Windows error %lu)\n", GetLastError());
    return 2;
  }
  GuardApi api = {};
  if (!Resolve(module, "ZarnelGuardInitialize", api.initialize) ||
      !Resolve(module, "ZarnelGuardShutdown", api.shutdown) ||
      !Resolve(module, "ZarnelGuardGetLastError", api.getLastError) ||
      !Resolve(module, "ZarnelGuardGetClientBuild", api.getClientBuild))
    return 2;

  std::printf("Zarnel: guard loaded, client build %d\n", api.getClientBuild());
  int32_t started = api.initialize();
  if (!started) {
    std::printf("Zarnel: guard refused to start: %ls\n", api.getLastError());
    return 1;
  }
  std::printf("Zarnel: guard started\n");
  api.shutdown();
  std::printf("Zarnel: guard shut down\n");
  return 0;
}
