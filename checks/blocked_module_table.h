#pragma once
// The blocked-module table: DLLs that memory-editing, debugging and
// injection tools place inside the game process.
#include <cstddef>

#include "checks/detection_checks.h"

extern const ModuleRule kBlockedModules[];
extern const size_t kBlockedModuleCount;

// The row whose module names hold this file name (A-Z folded), or null.
const ModuleRule* MatchBlockedModuleName(const wchar_t* fileName, size_t length);
