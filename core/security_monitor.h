#pragma once
// The guard's one thread: the detection checks at randomised intervals, the
// core client files re-verified from time to time, and, once a hard-cheat
// detection is confirmed, only the acknowledgement deadline.
#include <windows.h>

#include <cstdint>

#include "checks/detection_checks.h"
#include "platform/wide_buffer.h"

// Waits, in milliseconds: a base plus a random spread (bounds inclusive).
constexpr uint32_t kPassIntervalBaseMs = 3000;
constexpr uint32_t kPassIntervalSpreadMs = 4000;
constexpr uint32_t kPendingPollIntervalMs = 250;
constexpr uint32_t kFullScanIntervalBaseMs = 30000;
constexpr uint32_t kFullScanIntervalSpreadMs = 15000;
constexpr uint32_t kFileCheckIntervalBaseMs = 45000;
constexpr uint32_t kFileCheckIntervalSpreadMs = 30000;
constexpr uint32_t kScanFailureLimit = 2;

// Started by the start-up with no parameter; returns 0 once guard.stopEvent
// is set. Every other way out is a fatal exit.
DWORD WINAPI SecurityMonitorThread(LPVOID);

// A fresh 32-bit random value; the tick count XOR the process id when the
// system generator fails (the intervals only need to be unpredictable
// enough, never to stop the monitor).
uint32_t MonitorRandom32();

// Resolves the client directory and verifies the 8 core client files in
// manifest order, each opened, checked and closed again (the files held
// since the start-up stay as they are). False with the message in the
// last-error text.
bool RecheckCoreClientFiles();

// What a monitor pass runs, one entry per check, so that tests can stage a
// finding or a failure; the guard never changes it, and in the shipped DLL
// it is read-only data (as the system-call table is).
struct MonitorChecks {
  bool (*detectActiveDebugger)();
  bool (*scanLoadedModules)(ModuleFinding& finding);
  ProgramScanResult (*scanRunningPrograms)(bool fullScan, ProgramFinding& finding, DWORD& windowsError);
  bool (*detectVirtualMachine)(WideBuffer& detail);
  bool (*recheckCoreClientFiles)();
};
#ifdef ZARNELGUARD_TEST_SEAM
extern MonitorChecks monitorChecks;
void RestoreMonitorChecks();
#else
extern const MonitorChecks monitorChecks;
#endif
