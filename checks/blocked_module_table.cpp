// Only names that no ordinary DLL carries: a graphics driver, overlay or
// input hook loaded into the client must never match.
#include "checks/blocked_module_table.h"

#include <cwchar>

#include "platform/path_text.h"

namespace {
constexpr const wchar_t* kSpeedHackModules[] = {L"speedhack-i386.dll", L"speedhack-x86_64.dll", nullptr};
constexpr const wchar_t* kVehDebuggerModules[] = {L"vehdebug-i386.dll", L"vehdebug-x86_64.dll", nullptr};
constexpr const wchar_t* kCheatEngineHookModules[] = {
    L"luaclient-i386.dll", L"luaclient-x86_64.dll", L"allochook-i386.dll", L"allochook-x86_64.dll",
    L"winhook-i386.dll",   L"winhook-x86_64.dll",   L"ced3d9hook.dll",     L"ced3d10hook.dll",
    L"ced3d11hook.dll",    L"ced3d9hook64.dll",     L"ced3d11hook64.dll",  nullptr};
constexpr const wchar_t* kScyllaHideModules[] = {L"hooklibraryx86.dll", L"hooklibraryx64.dll", nullptr};
}  // namespace

const ModuleRule kBlockedModules[] = {
    {1, L"AC-MODULE-001", L"the Cheat Engine speed hack", kSpeedHackModules},
    {2, L"AC-MODULE-002", L"the Cheat Engine VEH debugger", kVehDebuggerModules},
    {3, L"AC-MODULE-003", L"a Cheat Engine hook library", kCheatEngineHookModules},
    {4, L"AC-MODULE-004", L"the ScyllaHide debugger-hiding library", kScyllaHideModules},
};
const size_t kBlockedModuleCount = sizeof(kBlockedModules) / sizeof(kBlockedModules[0]);

const ModuleRule* MatchBlockedModuleName(const wchar_t* fileName, size_t length) {
  if (!fileName || length == 0) return nullptr;
  for (size_t i = 0; i < kBlockedModuleCount; ++i) {
    for (const wchar_t* const* name = kBlockedModules[i].moduleNames; *name; ++name) {
      if (PathsEqualFoldingAscii(*name, std::wcslen(*name), fileName, length)) return &kBlockedModules[i];
    }
  }
  return nullptr;
}
