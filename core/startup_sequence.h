#pragma once
// The guard's start-up, run once per process by the first export that needs
// the guard running.
#include <windows.h>

// The runtime start-up callback handed to InitOnceExecuteOnce.
BOOL CALLBACK RunStartupSequence(PINIT_ONCE once, PVOID parameter, PVOID* context);
