#pragma once
// Native stand-in for the guard record: the path code reads only the
// module handle from it.
#include <windows.h>

struct GuardState {
  HMODULE moduleHandle;
};

extern GuardState guard;
