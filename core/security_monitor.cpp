// PLACEHOLDER until the security monitor lands: waits for the stop event.
#include "core/security_monitor.h"

#include "core/guard_state.h"

DWORD WINAPI SecurityMonitorThread(LPVOID) {
  WaitForSingleObject(guard.stopEvent, INFINITE);
  return 0;
}
