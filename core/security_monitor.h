#pragma once
#include <windows.h>

// The guard's one thread: periodic checks until the stop event is set.
DWORD WINAPI SecurityMonitorThread(LPVOID);
