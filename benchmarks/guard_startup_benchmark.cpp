// The shipped DLL as a client sees it: loads ZarnelGuard.dll from its own
// directory (a copy of the client, with the stand-in key provider under
// Wine) and prints "key=value" lines.
//   guard_startup_benchmark proof <repeats>
//       times LoadLibrary, ZarnelGuardInitialize and the first login proof,
//       then <repeats> more proofs one by one; reads the process's memory
//       counters before the load, after it, after the start-up and after
//       the proofs. Run it once per process for the cold case.
//   guard_startup_benchmark monitor <seconds> <processes> [wineserver-pid]
//       starts <processes> idle copies of itself, measures the CPU time of
//       this process and of the wineserver (whose share of a system call
//       under Wine is real work) over <seconds> without the guard, then
//       starts the guard and measures both over <seconds> while only the
//       monitor thread works.
//   guard_startup_benchmark idle <ready-event>      (one idle copy)
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "ZarnelGuard.h"

namespace {
HMODULE guardModule;
decltype(&ZarnelGuardInitialize) initialize;
decltype(&ZarnelGuardShutdown) shutdown;
decltype(&ZarnelGuardGetLastError) lastError;
decltype(&ZarnelGuardCreateLoginProof) createLoginProof;

template <typename T>
T Export(const char* name) {
  return reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(guardModule, name)));
}

double NowMs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart * 1000.0 / frequency.QuadPart;
}

double FiletimeMs(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  return value.QuadPart / 10000.0;
}

std::wstring OwnDirectory() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory = path;
  return directory.substr(0, directory.find_last_of(L"\\/") + 1);
}

bool LoadGuard() {
  guardModule = LoadLibraryW((OwnDirectory() + L"ZarnelGuard.dll").c_str());
  if (!guardModule) {
    std::printf("error=LoadLibrary failed (Windows error %lu)\n", GetLastError());
    return false;
  }
  initialize = Export<decltype(initialize)>("ZarnelGuardInitialize");
  shutdown = Export<decltype(shutdown)>("ZarnelGuardShutdown");
  lastError = Export<decltype(lastError)>("ZarnelGuardGetLastError");
  createLoginProof = Export<decltype(createLoginProof)>("ZarnelGuardCreateLoginProof");
  return initialize && shutdown && lastError && createLoginProof;
}

// What the process's memory counters say (under Wine they come from the
// Linux process's /proc status, see the README).
void PrintMemory(const char* stage) {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof(counters);
  if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof(counters))) {
    std::printf("mem_%s_peak_working_set=%lu\nmem_%s_working_set=%lu\n", stage,
                static_cast<unsigned long>(counters.PeakWorkingSetSize), stage,
                static_cast<unsigned long>(counters.WorkingSetSize));
    std::printf("mem_%s_peak_pagefile=%lu\nmem_%s_pagefile=%lu\nmem_%s_private=%lu\n", stage,
                static_cast<unsigned long>(counters.PeakPagefileUsage), stage,
                static_cast<unsigned long>(counters.PagefileUsage), stage,
                static_cast<unsigned long>(counters.PrivateUsage));
  }
}

bool MakeProof(int seed) {
  // A fresh challenge each time, never all zero.
  uint8_t id[16], nonce[32];
  std::memset(id, 1 + seed % 255, sizeof(id));
  std::memset(nonce, 1 + (seed * 7 + 3) % 255, sizeof(nonce));
  // The login name is a zero-padded 32-byte field.
  uint8_t name[32] = {};
  const char text[] = "bench.player";
  std::memcpy(name, text, sizeof(text) - 1);
  uint32_t build = 0;
  uint8_t kind = 0, digest[32], publicKey[72], signature[64];
  return createLoginProof(2, 62, id, nonce, name, sizeof(text) - 1, &build, &kind,
                          digest, publicKey, signature) == 1;
}

void PrintSpread(const char* name, std::vector<double> values) {
  if (values.empty()) return;
  std::sort(values.begin(), values.end());
  auto at = [&](double q) { return values[static_cast<size_t>(q * (values.size() - 1) + 0.5)]; };
  std::printf("%s_count=%zu\n%s_median_ms=%.3f\n%s_p10_ms=%.3f\n%s_p90_ms=%.3f\n%s_min_ms=%.3f\n%s_max_ms=%.3f\n",
              name, values.size(), name, at(0.5), name, at(0.1), name, at(0.9), name, values.front(), name,
              values.back());
}

int RunProof(int repeats) {
  PrintMemory("before_load");
  double start = NowMs();
  if (!LoadGuard()) return 1;
  double loaded = NowMs();
  PrintMemory("after_load");
  double initStart = NowMs();
  int32_t started = initialize();
  double initEnd = NowMs();
  if (!started) {
    std::printf("error=start-up failed: %ls\n", lastError());
    return 1;
  }
  PrintMemory("after_initialize");
  double proofStart = NowMs();
  bool proved = MakeProof(0);
  double proofEnd = NowMs();
  if (!proved) {
    std::printf("error=login proof failed: %ls\n", lastError());
    shutdown();
    return 1;
  }
  std::printf("load_ms=%.3f\ninitialize_ms=%.3f\nfirst_proof_ms=%.3f\ninitialize_to_first_proof_ms=%.3f\n",
              loaded - start, initEnd - initStart, proofEnd - proofStart, proofEnd - initStart);
  std::vector<double> times;
  for (int i = 0; i < repeats; ++i) {
    double begin = NowMs();
    if (!MakeProof(i + 1)) {
      std::printf("error=repeated proof %d failed: %ls\n", i + 1, lastError());
      shutdown();
      return 1;
    }
    times.push_back(NowMs() - begin);
  }
  PrintSpread("repeat_proof", times);
  PrintMemory("after_proofs");
  double shutdownStart = NowMs();
  shutdown();
  std::printf("shutdown_ms=%.3f\n", NowMs() - shutdownStart);
  return 0;
}

std::vector<DWORD> OwnThreadIds() {
  std::vector<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
  CloseHandle(snapshot);
  return ids;
}

double ProcessCpuMs() {
  FILETIME created, exited, kernel, user;
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  return FiletimeMs(kernel) + FiletimeMs(user);
}

// utime + stime of a Linux process in milliseconds, through Wine's Z:
// drive; -1 when unavailable.
double LinuxProcessCpuMs(unsigned long pid) {
  if (!pid) return -1;
  wchar_t path[64];
  swprintf(path, 64, L"Z:\\proc\\%lu\\stat", pid);
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  char text[1024] = {};
  DWORD read = 0;
  ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
  CloseHandle(file);
  const char* fields = std::strrchr(text, ')');
  unsigned long long utime = 0, stime = 0;
  if (!fields || std::sscanf(fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
    return -1;
  return (utime + stime) * 10.0;  // USER_HZ 100
}

int RunIdle(const wchar_t* readyName) {
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName);
  if (ready) SetEvent(ready);
  Sleep(INFINITE);
  return 0;
}

int RunMonitor(int seconds, int processes, unsigned long serverPid) {
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
  int started = 0;
  for (int i = 0; i < processes; ++i) {
    wchar_t readyName[64];
    swprintf(readyName, 64, L"zg-monitor-bench-ready-%lu-%d", GetCurrentProcessId(), i);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, readyName);
    wchar_t commandLine[MAX_PATH + 96];
    swprintf(commandLine, MAX_PATH + 96, L"\"%ls\" idle %ls", self, readyName);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(self, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
      AssignProcessToJobObject(job, info.hProcess);
      WaitForSingleObject(ready, 30000);
      CloseHandle(info.hProcess);
      CloseHandle(info.hThread);
      ++started;
    }
    CloseHandle(ready);
  }
  std::printf("idle_copies=%d\n", started);

  if (!LoadGuard()) return 1;
  // The same window without the guard first: the wineserver also works for
  // the other processes of the prefix, and that share is not the monitor's.
  Sleep(3000);  // the idle copies finish starting
  int baselineSeconds = seconds;
  double processBefore = ProcessCpuMs(), serverBefore = LinuxProcessCpuMs(serverPid), wallBefore = NowMs();
  Sleep(static_cast<DWORD>(baselineSeconds) * 1000);
  double baselineWall = NowMs() - wallBefore, baselineProcess = ProcessCpuMs() - processBefore;
  double serverAfter = LinuxProcessCpuMs(serverPid);
  double baselineServer = serverBefore < 0 || serverAfter < 0 ? 0 : serverAfter - serverBefore;
  std::printf("baseline_window_s=%.2f\nbaseline_process_cpu_ms=%.1f\nbaseline_wineserver_cpu_ms=%.1f\n",
              baselineWall / 1000, baselineProcess, baselineServer);

  std::vector<DWORD> before = OwnThreadIds();
  if (!initialize()) {
    std::printf("error=start-up failed: %ls\n", lastError());
    return 1;
  }
  // The guard starts exactly one thread of its own, the monitor, and this
  // thread only sleeps from here on: the process's CPU time is the
  // monitor's.
  std::printf("new_threads=%zu\n", OwnThreadIds().size() - before.size());
  processBefore = ProcessCpuMs(), serverBefore = LinuxProcessCpuMs(serverPid), wallBefore = NowMs();
  Sleep(static_cast<DWORD>(seconds) * 1000);
  double wall = NowMs() - wallBefore;
  double process = ProcessCpuMs() - processBefore;
  serverAfter = LinuxProcessCpuMs(serverPid);
  double server = serverBefore < 0 || serverAfter < 0 ? 0 : serverAfter - serverBefore;
  std::printf("window_s=%.2f\nprocess_cpu_ms=%.1f\nwineserver_cpu_ms=%.1f\n", wall / 1000, process, server);
  double serverShare = std::max(0.0, server - baselineServer * wall / baselineWall);
  double perMinute = (process + serverShare) * 60000.0 / wall;
  std::printf("monitor_cpu_ms_per_minute=%.1f\nmonitor_share_of_one_core=%.3f%%\n", perMinute,
              perMinute / 60000.0 * 100.0);
  std::fflush(stdout);
  shutdown();
  CloseHandle(job);  // ends the idle copies
  return 0;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && std::wcscmp(argv[1], L"idle") == 0) return RunIdle(argv[2]);
  if (argc >= 3 && std::wcscmp(argv[1], L"proof") == 0) return RunProof(_wtoi(argv[2]));
  if (argc >= 4 && std::wcscmp(argv[1], L"monitor") == 0)
    return RunMonitor(_wtoi(argv[2]), _wtoi(argv[3]), argc > 4 ? std::wcstoul(argv[4], nullptr, 10) : 0);
  std::printf("usage: guard_startup_benchmark proof <repeats> | monitor <seconds> <processes> [wineserver-pid]\n");
  return 2;
}
