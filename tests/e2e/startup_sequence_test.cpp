// The guarded start and the login proof with real client processes: two
// clients on one machine, a debugger attached before the start, two threads
// starting at once, login proofs checked the way the server checks them,
// and many client threads using the exports while the monitor runs.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "contained_process.h"
#include "process_runner.h"
#include "sample_client_copy.h"

namespace {
const char kOnlyOneClient[] = "Only one Zarnel client can run on this Windows machine.";

std::wstring UniqueName(const wchar_t* purpose) {
  static LONG counter = 0;
  wchar_t name[96];
  swprintf(name, 96, L"zg-startup-%ls-%lu-%ld", purpose, GetCurrentProcessId(), InterlockedIncrement(&counter));
  return name;
}

// A program started in the background with its output in a file; ended
// with the test if it is still running.
class Background {
 public:
  Background(const std::wstring& exe, const std::wstring& args, const std::wstring& outputPath) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE output = CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                                CREATE_ALWAYS, 0, nullptr);
    if (output == INVALID_HANDLE_VALUE) return;
    STARTUPINFOW startup = {};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::wstring directory = exe.substr(0, exe.find_last_of(L'\\') + 1);
    process_.Start(exe, L"\"" + exe + L"\" " + args, directory, {output}, 0, startup);
    CloseHandle(output);
  }
  bool Started() const { return process_.Started(); }
  DWORD Id() const { return process_.Id(); }
  HANDLE Process() const { return process_.Process(); }
  // The exit code, or STILL_ACTIVE when it did not end in time.
  DWORD WaitExit(DWORD timeoutMs) {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process_.Process(), timeoutMs) == WAIT_OBJECT_0)
      GetExitCodeProcess(process_.Process(), &code);
    return code;
  }

 private:
  ContainedProcess process_;
};

class NamedEvent {
 public:
  explicit NamedEvent(const std::wstring& name) : name_(name), handle_(CreateEventW(nullptr, TRUE, FALSE, name.c_str())) {}
  ~NamedEvent() { CloseHandle(handle_); }
  const std::wstring& Name() const { return name_; }
  HANDLE Get() const { return handle_; }
  void Set() { SetEvent(handle_); }

 private:
  std::wstring name_;
  HANDLE handle_;
};

// Either the event, or the process ended first.
bool WaitEventOrExit(HANDLE event, HANDLE process, DWORD timeoutMs = 60000) {
  HANDLE handles[2] = {event, process};
  return WaitForMultipleObjects(2, handles, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

// The first client: client_files_host, which keeps its guard started until
// the test lets it go.
class FirstClient {
 public:
  explicit FirstClient(const std::wstring& directory)
      : prefix_(UniqueName(L"first")),
        started_(prefix_ + L"-started"),
        shutdown_(prefix_ + L"-shutdown"),
        stopped_(prefix_ + L"-stopped"),
        exit_(prefix_ + L"-exit"),
        output_(directory + L"first-output.txt"),
        process_(directory + L"client_files_host.exe", prefix_, output_) {}
  ~FirstClient() {
    shutdown_.Set();
    exit_.Set();
  }
  bool WaitStarted(std::map<std::string, std::string>& values) {
    if (!process_.Started() || !WaitEventOrExit(started_.Get(), process_.Process())) return false;
    values = ReadKeyValues(output_);
    return true;
  }
  bool Shutdown() {
    shutdown_.Set();
    return WaitEventOrExit(stopped_.Get(), process_.Process());
  }
  HANDLE Process() const { return process_.Process(); }

 private:
  std::wstring prefix_;
  NamedEvent started_, shutdown_, stopped_, exit_;
  std::wstring output_;
  Background process_;
};

bool Held(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_SHARING_VIOLATION;
  CloseHandle(file);
  return false;
}

// A copy of an idle fixture under a blocked program's name, running.
class BlockedTool {
 public:
  explicit BlockedTool(const std::wstring& asName) : ready_(UniqueName(L"tool-ready")) {
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    directory_ = std::wstring(base) + UniqueName(L"tool") + L"\\";
    CreateDirectoryW(directory_.c_str(), nullptr);
    path_ = directory_ + asName;
    if (!CopyFileW(ProgramFile(L"idle_program.exe").c_str(), path_.c_str(), FALSE)) return;
    process_.reset(new Background(path_, ready_.Name(), directory_ + L"output.txt"));
  }
  ~BlockedTool() {
    process_.reset();
    for (const wchar_t* file : {L"output.txt", L""}) {
      std::wstring target = *file ? directory_ + file : path_;
      for (int i = 0; i < 20 && !DeleteFileW(target.c_str()); ++i) Sleep(50);
    }
    RemoveDirectoryW(directory_.c_str());
  }
  bool WaitReady() { return process_ && WaitEventOrExit(ready_.Get(), process_->Process(), 20000); }

 private:
  NamedEvent ready_;
  std::wstring directory_, path_;
  std::unique_ptr<Background> process_;
};

class StartupFromOutside : public testing::Test {
 protected:
  void SetUp() override {
    if (!HaveSampleClient()) GTEST_SKIP() << "built for a studio's client: no sample client to start in";
  }
  static std::map<std::string, std::string> RunHost(const SampleClientCopy& client, const std::wstring& args,
                                                    DWORD expectedExit = 0, DWORD timeoutMs = 120000) {
    ProcessResult run = RunProcess(client.Path() + L"startup_host.exe", args, client.Path(), timeoutMs);
    EXPECT_TRUE(run.finished) << "startup_host " << std::string(args.begin(), args.end()) << " did not end";
    EXPECT_EQ(run.exitCode, expectedExit) << run.output;
    return ParseKeyValues(run.output);
  }
};
}  // namespace

TEST_F(StartupFromOutside, ASecondClientFailsAtTheMarkerHoldingNothingAndStartsOnceTheFirstHasStopped) {
  SampleClientCopy first({L"client_files_host.exe"});
  SampleClientCopy second({L"startup_host.exe"});
  ASSERT_TRUE(first.Complete() && second.Complete());
  FirstClient running(first.Path());
  std::map<std::string, std::string> firstValues;
  ASSERT_TRUE(running.WaitStarted(firstValues));
  ASSERT_EQ(firstValues["initialize"], "1") << firstValues["message"];

  auto values = RunHost(second, L"once");
  EXPECT_EQ(values["initialize"], "0");
  EXPECT_EQ(values["message"], kOnlyOneClient);
  EXPECT_NE(values["handles_before"], "0") << "the handle table shows this process's handles";
  EXPECT_EQ(values["handles_after"], values["handles_before"]) << "the failed start keeps no handle of its own";
  EXPECT_EQ(values["files_writable"], "1") << "the failed start holds none of its client files";

  // The first client goes on as it was: its guard still holds its files.
  EXPECT_EQ(WaitForSingleObject(running.Process(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  for (const std::wstring& name : SampleClientFileNames())
    if (name.size() > 4 && name.substr(name.size() - 4) != L".exe" && name.substr(name.size() - 4) != L".dll")
      EXPECT_TRUE(Held(first.Path() + name)) << std::string(name.begin(), name.end()) << " was let go";

  ASSERT_TRUE(running.Shutdown());
  values = RunHost(second, L"once");
  EXPECT_EQ(values["initialize"], "1") << values["message"];
}

TEST_F(StartupFromOutside, ASecondClientWithABlockedProgramEndsWithItsOwnFindingBeforeTheMarker) {
  SampleClientCopy first({L"client_files_host.exe"});
  SampleClientCopy second({L"startup_host.exe"});
  ASSERT_TRUE(first.Complete() && second.Complete());
  FirstClient running(first.Path());
  std::map<std::string, std::string> firstValues;
  ASSERT_TRUE(running.WaitStarted(firstValues));
  ASSERT_EQ(firstValues["initialize"], "1") << firstValues["message"];

  // Started after the first client, so only the second one's start-up meets it.
  BlockedTool tool(L"WeMod.exe");
  ASSERT_TRUE(tool.WaitReady());
  auto values = RunHost(second, L"once", 13);
  EXPECT_EQ(values.count("initialize"), 0u) << "the start-up never returned";
  auto records = HelperRecords(second.Path());
  ASSERT_EQ(records.size(), 1u) << "the second client's error helper was started";
  EXPECT_EQ(records[0]["code"], "AC-PROC-030");
  EXPECT_EQ(WaitForSingleObject(running.Process(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the first client runs on";
  EXPECT_TRUE(running.Shutdown());
}

TEST_F(StartupFromOutside, ADebuggerRecordedAtTheStartLetsItTolerateALaterFindingAndStart) {
  SampleClientCopy client({L"startup_host.exe"});
  ASSERT_TRUE(client.Complete());
  BlockedTool tool(L"WeMod.exe");
  ASSERT_TRUE(tool.WaitReady());
  NamedEvent go(UniqueName(L"go"));
  NamedEvent attached(UniqueName(L"attached"));
  std::wstring output = client.Path() + L"host-output.txt";
  Background host(client.Path() + L"startup_host.exe", L"once " + go.Name(), output);
  ASSERT_TRUE(host.Started());
  Background attacher(ProgramFile(L"debugger_attacher.exe"),
                      std::to_wstring(host.Id()) + L" " + attached.Name(), client.Path() + L"attacher-output.txt");
  ASSERT_TRUE(attacher.Started());
  ASSERT_TRUE(WaitEventOrExit(attached.Get(), attacher.Process(), 20000)) << "the debugger never attached";
  go.Set();
  EXPECT_EQ(host.WaitExit(120000), 0u) << "nothing ended the client";
  auto values = ReadKeyValues(output);
  EXPECT_EQ(values["initialize"], "1");
  EXPECT_EQ(values["message"],
            "Zarnel cannot start while WeMod is running. Close it completely, including its tray or background "
            "process, then try again. (Code AC-PROC-030)")
      << "the tolerated finding's start-time message stays";
  EXPECT_NE(attacher.WaitExit(20000), static_cast<DWORD>(STILL_ACTIVE));
}

TEST_F(StartupFromOutside, TwoThreadsStartingAtOnceRunTheStartUpOnce) {
  SampleClientCopy client({L"startup_host.exe"});
  ASSERT_TRUE(client.Complete());
  auto values = RunHost(client, L"race");
  EXPECT_EQ(values["finished"], "1");
  // A second run in this process would meet its own marker and fail.
  EXPECT_EQ(values["first"], "1") << values["message"];
  EXPECT_EQ(values["second"], "1") << values["message"];
}

TEST_F(StartupFromOutside, LoginProofsThroughTheDllAreWhatTheServerVerifies) {
  SampleClientCopy client({L"startup_host.exe"});
  ASSERT_TRUE(client.Complete());
  auto values = RunHost(client, L"login");
  int checks = 0;
  for (const auto& entry : values) {
    if (entry.first.rfind("check_", 0) != 0) continue;
    ++checks;
    EXPECT_EQ(entry.second, "1") << entry.first;
  }
  EXPECT_EQ(checks, 5 + 13 + 3);
  EXPECT_EQ(values["record_21_30"], "0002000000050000003e");
}

TEST_F(StartupFromOutside, AClientThreadWithA64KiBStackStartsTheGuardAndGetsAProof) {
  SampleClientCopy client({L"startup_host.exe"});
  ASSERT_TRUE(client.Complete());
  auto values = RunHost(client, L"small-stack");
  EXPECT_EQ(values["finished"], "1");
  EXPECT_EQ(values["thread_exit"], "0") << "the thread did not return normally";
  EXPECT_EQ(values["proof"], "1") << values["message"];
  EXPECT_EQ(values["verified"], "1");
}

// Whatever is kept per thread (by the guard or by the runtime it links)
// must go with the thread: the count after 1, 10 and 30 more short-lived
// client threads is the count after the first.
TEST_F(StartupFromOutside, ShortLivedClientThreadsLeaveNoHandleBehind) {
  SampleClientCopy client({L"startup_host.exe"});
  ASSERT_TRUE(client.Complete());
  auto values = RunHost(client, L"threads-flat", 0, 300000);
  ASSERT_EQ(values["initialize"], "1") << values["message"];
  EXPECT_EQ(values["threads_passed"], "1") << "a client thread got no proof or no challenge";
  EXPECT_NE(values["handles_baseline"], "0");
  for (const char* round : {"handles_after_1", "handles_after_10", "handles_after_30"})
    EXPECT_EQ(values[round], values["handles_baseline"]) << round;
}

TEST_F(StartupFromOutside, ManyClientThreadsUseTheExportsWhileTheMonitorRunsAndShutdownLeavesNoHandle) {
  SampleClientCopy client({L"startup_host.exe"});
  ASSERT_TRUE(client.Complete());
  // Ten seconds: longer than the monitor's longest first wait, so its
  // passes run among the client threads.
  auto values = RunHost(client, L"stress 6 10", 0, 600000);
  ASSERT_EQ(values["initialize"], "1") << values["message"];
  EXPECT_EQ(values["threads_finished"], "1") << "a client thread never came back";
  const std::string all = values["rounds"];
  EXPECT_GE(std::atoi(all.c_str()), 6);
  EXPECT_EQ(values["proofs"], all);
  EXPECT_EQ(values["verified"], all);
  EXPECT_EQ(values["challenges_held"], all);
  EXPECT_EQ(values["reports_taken"], "0") << "no detection, so no report";
  EXPECT_NE(values["handles_before_start"], "0");
  EXPECT_EQ(values["handles_after_shutdown"], values["handles_before_start"]);
  EXPECT_EQ(values["files_writable"], "1");
}
