// The cost of the detection checks with a crowded process list: starts N
// idle copies of itself, then times the quick and the full program scan,
// the debugger check plus module scan, and the virtual-machine check, many
// times each, and reports the median wall time and the mean CPU time (this
// thread's, plus the wineserver's when its Linux pid is given, since under
// Wine part of a system call's work happens there). CPU time is a mean over
// all runs because Wine counts it in 10 ms ticks, too coarse for one run.
//   detection_checks_benchmark <processes> <runs> [wineserver-pid]
//   detection_checks_benchmark idle <ready-event>     (one idle copy)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <vector>

#include "checks/detection_checks.h"
#include "platform/native_system_information.h"
#include "state/guard_state.h"

namespace {
double Milliseconds(const FILETIME& time) {
  ULARGE_INTEGER value;
  value.LowPart = time.dwLowDateTime;
  value.HighPart = time.dwHighDateTime;
  return value.QuadPart / 10000.0;
}

double ThreadCpuMs() {
  FILETIME created, exited, kernel, user;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
  return Milliseconds(kernel) + Milliseconds(user);
}

double WallMs() {
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart * 1000.0 / frequency.QuadPart;
}

// utime + stime of a Linux process, in milliseconds, read through Wine's Z:
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
  if (!fields) return -1;
  unsigned long long utime = 0, stime = 0;
  // Fields after the command name: state is field 3; utime and stime are 14 and 15.
  if (std::sscanf(fields + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
    return -1;
  return (utime + stime) * 10.0;  // USER_HZ 100
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Measurement {
  const char* name;
  double wallMs;    // median
  double cpuMs;     // this thread, mean per run
  double serverMs;  // wineserver, mean per run; -1 when not measured
};

template <typename Operation>
Measurement Measure(const char* name, int runs, unsigned long serverPid, Operation operation) {
  for (int i = 0; i < 3; ++i) operation();  // warm caches
  std::vector<double> walls;
  double serverBefore = LinuxProcessCpuMs(serverPid);
  double cpuBefore = ThreadCpuMs();
  for (int i = 0; i < runs; ++i) {
    double wall = WallMs();
    operation();
    walls.push_back(WallMs() - wall);
  }
  double cpu = (ThreadCpuMs() - cpuBefore) / runs;
  double serverAfter = LinuxProcessCpuMs(serverPid);
  double server = serverBefore < 0 || serverAfter < 0 ? -1 : (serverAfter - serverBefore) / runs;
  return {name, Median(walls), cpu, server};
}

int RunIdle(const wchar_t* readyName) {
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, readyName);
  if (ready) SetEvent(ready);
  Sleep(INFINITE);
  return 0;
}

size_t CountProcesses() {
  NativeBuffer list;
  size_t filled = 0;
  DWORD error = 0;
  if (!QueryProcessList(&guard.processListBytes, list, filled, error)) return 0;
  ProcessListWalker walker(list.Data(), filled);
  ProcessListItem item = {};
  size_t count = 0;
  while (walker.Next(item)) ++count;
  return count;
}
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 3 && std::wcscmp(argv[1], L"idle") == 0) return RunIdle(argv[2]);
  if (argc < 3) return 2;
  guard.moduleHandle = GetModuleHandleW(nullptr);
  int processes = _wtoi(argv[1]);
  int runs = _wtoi(argv[2]);
  unsigned long serverPid = argc > 3 ? std::wcstoul(argv[3], nullptr, 10) : 0;

  // The idle crowd: every copy signals one shared event's counterpart.
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof(limits));
  std::vector<HANDLE> children;
  for (int i = 0; i < processes; ++i) {
    wchar_t readyName[64];
    swprintf(readyName, 64, L"zg-bench-ready-%lu-%d", GetCurrentProcessId(), i);
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, readyName);
    wchar_t commandLine[MAX_PATH + 96];
    swprintf(commandLine, MAX_PATH + 96, L"\"%ls\" idle %ls", self, readyName);
    STARTUPINFOW startup = {sizeof(startup)};
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(self, commandLine, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
      AssignProcessToJobObject(job, info.hProcess);
      WaitForSingleObject(ready, 30000);
      children.push_back(info.hProcess);
      CloseHandle(info.hThread);
    }
    CloseHandle(ready);
  }
  std::printf("processes_running=%zu (idle copies started: %zu)\nruns_per_measurement=%d\n", CountProcesses(),
              children.size(), runs);

  ProgramFinding finding = {};
  DWORD error = 0;
  std::vector<Measurement> results;
  NativeBuffer list;
  size_t filled = 0;
  results.push_back(Measure("quick_program_scan", runs, serverPid, [&] { ScanRunningPrograms(false, finding, error); }));
  results.push_back(Measure("full_program_scan", runs, serverPid, [&] { ScanRunningPrograms(true, finding, error); }));
  results.push_back(Measure("debugger_and_module_scan", runs, serverPid, [&] {
    DetectActiveDebugger();
    ModuleFinding module = {};
    ScanLoadedModules(module);
  }));
  results.push_back(Measure("virtual_machine_check", runs, serverPid, [&] {
    WideBuffer detail;
    DetectVirtualMachine(detail);
  }));
  // The floor of every program scan: reading the process list once.
  results.push_back(Measure("process_list_read_only", runs, serverPid, [&] { QueryProcessList(&guard.processListBytes, list, filled, error); }));

  std::printf("%-26s %16s %16s %16s\n", "measurement", "wall_ms_median", "cpu_ms_mean", "wineserver_ms");
  for (const Measurement& m : results)
    std::printf("%-26s %16.3f %16.3f %16.3f\n", m.name, m.wallMs, m.cpuMs, m.serverMs);

  auto total = [](const Measurement& m) { return m.cpuMs + (m.serverMs > 0 ? m.serverMs : 0); };
  const Measurement& quick = results[0];
  const Measurement& full = results[1];
  const Measurement& other = results[2];
  const Measurement& vm = results[3];
  std::printf("ratio_quick_to_full_wall=%.4f\nratio_quick_to_full_cpu=%.4f\n", quick.wallMs / full.wallMs,
              total(quick) / total(full));
  // One minute of monitor passes at the mean intervals: a pass every 5 s
  // (debugger, modules, quick scan), the full scan instead of the quick one
  // every 37.5 s, the virtual-machine check every 60 s (the core-file
  // hashing of that check is not part of these checks).
  double passes = 60.0 / 5.0, fulls = 60.0 / 37.5, vms = 1.0;
  double minuteCpu = passes * (total(other) + total(quick)) + fulls * (total(full) - total(quick)) + vms * total(vm);
  std::printf("monitor_cpu_ms_per_minute=%.1f\nmonitor_share_of_one_core=%.3f%%\n", minuteCpu,
              minuteCpu / 60000.0 * 100.0);
  std::fflush(stdout);
  CloseHandle(job);  // ends the idle copies
  return 0;
}
