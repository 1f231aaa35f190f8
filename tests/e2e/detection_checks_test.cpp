// The detection checks with real processes around them: a debugger that
// attaches, a DLL under a blocked name, programs under blocked, renamed and
// everyday names, one that opens the client for memory access. Each check
// runs inside checks_probe, which plays the client.
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "contained_process.h"
#include "process_runner.h"
#include "sample_client_copy.h"

namespace {
std::wstring UniqueName(const wchar_t* purpose) {
  static LONG counter = 0;
  wchar_t name[96];
  swprintf(name, 96, L"zg-checks-%ls-%lu-%ld", purpose, GetCurrentProcessId(), InterlockedIncrement(&counter));
  return name;
}

// A process that runs beside the test and is ended with it.
class BackgroundProcess {
 public:
  BackgroundProcess(const std::wstring& exe, const std::wstring& args, bool captureOutput) {
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    STARTUPINFOW startup = {};
    HANDLE writeEnd = nullptr;
    if (captureOutput && CreatePipe(&readEnd_, &writeEnd, &inheritable, 0)) {
      SetHandleInformation(readEnd_, HANDLE_FLAG_INHERIT, 0);
      startup.dwFlags = STARTF_USESTDHANDLES;
      startup.hStdOutput = writeEnd;
      startup.hStdError = writeEnd;
    }
    std::vector<HANDLE> inherited;
    if (writeEnd) inherited.push_back(writeEnd);
    started_ = process_.Start(exe, L"\"" + exe + L"\" " + args, L"", inherited, 0, startup);
    if (writeEnd) CloseHandle(writeEnd);
  }
  ~BackgroundProcess() {
    process_.End();
    if (readEnd_) CloseHandle(readEnd_);
  }
  bool Started() const { return started_; }
  DWORD Id() const { return process_.Id(); }
  // Waits for the end and returns what it wrote, CR removed.
  std::string Output(DWORD timeoutMs = 30000) {
    std::string text;
    if (WaitForSingleObject(process_.Process(), timeoutMs) != WAIT_OBJECT_0 || !readEnd_) return text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(readEnd_, buffer, sizeof(buffer), &read, nullptr) && read > 0) text.append(buffer, read);
    std::string clean;
    for (char c : text)
      if (c != '\r') clean += c;
    return clean;
  }
  bool WaitForExit(DWORD timeoutMs) { return WaitForSingleObject(process_.Process(), timeoutMs) == WAIT_OBJECT_0; }

 private:
  ContainedProcess process_;
  HANDLE readEnd_ = nullptr;
  bool started_ = false;
};

// A fresh directory of renamed copies of the fixture programs.
class RenamedCopies {
 public:
  RenamedCopies() {
    wchar_t base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    path_ = std::wstring(base) + UniqueName(L"dir") + L"\\";
    CreateDirectoryW(path_.c_str(), nullptr);
  }
  ~RenamedCopies() {
    for (const std::wstring& file : files_) {
      // A copy still running (its process ended a moment ago) may refuse
      // deletion for a short while.
      for (int i = 0; i < 20 && !DeleteFileW(file.c_str()); ++i) Sleep(50);
    }
    RemoveDirectoryW(path_.c_str());
  }
  std::wstring Copy(const std::wstring& fixture, const std::wstring& asName) {
    std::wstring target = path_ + asName;
    if (!CopyFileW(ProgramFile(fixture).c_str(), target.c_str(), FALSE)) return L"";
    files_.push_back(target);
    return target;
  }

 private:
  std::wstring path_;
  std::vector<std::wstring> files_;
};

class NamedEvent {
 public:
  explicit NamedEvent(const std::wstring& name) : name_(name), handle_(CreateEventW(nullptr, TRUE, FALSE, name.c_str())) {}
  ~NamedEvent() { CloseHandle(handle_); }
  const std::wstring& Name() const { return name_; }
  bool Wait(DWORD timeoutMs) { return WaitForSingleObject(handle_, timeoutMs) == WAIT_OBJECT_0; }
  void Set() { SetEvent(handle_); }

 private:
  std::wstring name_;
  HANDLE handle_;
};

// An idle program copy, started and waited for until it is ready (and,
// with an access mask, holds its handle to `targetPid`).
struct RunningCopy {
  std::unique_ptr<NamedEvent> ready;
  std::unique_ptr<BackgroundProcess> process;
};
RunningCopy StartCopy(const std::wstring& path, DWORD targetPid = 0, const wchar_t* accessHex = nullptr) {
  RunningCopy copy;
  copy.ready.reset(new NamedEvent(UniqueName(L"ready")));
  std::wstring args = copy.ready->Name();
  if (accessHex) args += L" " + std::to_wstring(targetPid) + L" " + accessHex;
  copy.process.reset(new BackgroundProcess(path, args, false));
  return copy;
}

std::map<std::string, std::string> RunProbe(const std::wstring& probePath, const std::wstring& args) {
  ProcessResult run = RunProcess(probePath, L"- " + args, L"");
  EXPECT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  return ParseKeyValues(run.output);
}

std::wstring Probe() { return ProgramDirectory() + L"checks_probe.exe"; }
}  // namespace

// ---- debugger ----------------------------------------------------------

TEST(DebuggerCheckFromOutside, FindsAnAttachedDebuggerAndNothingWithoutOne) {
  for (bool attach : {false, true}) {
    SCOPED_TRACE(attach ? "debugger attached" : "no debugger");
    NamedEvent go(UniqueName(L"go"));
    BackgroundProcess probe(Probe(), go.Name() + L" debugger", true);
    ASSERT_TRUE(probe.Started());
    std::unique_ptr<BackgroundProcess> attacher;
    NamedEvent attached(UniqueName(L"attached"));
    if (attach) {
      attacher.reset(new BackgroundProcess(ProgramFile(L"debugger_attacher.exe"),
                                           std::to_wstring(probe.Id()) + L" " + attached.Name(), false));
      ASSERT_TRUE(attacher->Started());
      ASSERT_TRUE(attached.Wait(20000)) << "the attacher never got its first debug event";
    }
    go.Set();
    auto values = ParseKeyValues(probe.Output());
    EXPECT_EQ(values["debugger"], attach ? "1" : "0");
    if (attacher) {
      EXPECT_TRUE(attacher->WaitForExit(10000)) << "the attacher sees the probe end";
    }
  }
}

// ---- blocked modules ---------------------------------------------------

struct ModuleCase {
  const wchar_t* fileName;
  const char* found;
  const char* code;
  const char* displayName;
};

TEST(ModuleScanFromOutside, FindsADllLoadedUnderABlockedNameAndOnlyThen) {
  const ModuleCase cases[] = {
      {L"speedhack-i386.dll", "1", "AC-MODULE-001", "the Cheat Engine speed hack"},
      {L"VEHDebug-i386.dll", "1", "AC-MODULE-002", "the Cheat Engine VEH debugger"},
      {L"HookLibraryx86.dll", "1", "AC-MODULE-004", "the ScyllaHide debugger-hiding library"},
      // Near names and an overlay's: a substring or prefix match would fire.
      {L"speedhack.dll", "0", nullptr, nullptr},
      {L"myspeedhack-i386.dll", "0", nullptr, nullptr},
      {L"GameOverlayRenderer.dll", "0", nullptr, nullptr},
  };
  RenamedCopies copies;
  for (const ModuleCase& c : cases) {
    SCOPED_TRACE(std::string(c.fileName, c.fileName + wcslen(c.fileName)));
    std::wstring dll = copies.Copy(L"blocked_module_fixture.dll", c.fileName);
    ASSERT_FALSE(dll.empty());
    auto values = RunProbe(Probe(), L"modules \"" + dll + L"\"");
    EXPECT_EQ(values["found"], c.found);
    if (!c.code) continue;
    EXPECT_EQ(values["code"], c.code);
    EXPECT_EQ(values["name"], c.displayName);
    std::string module = values["module"];
    std::string expectedTail = std::string(c.fileName, c.fileName + wcslen(c.fileName));
    ASSERT_GE(module.size(), expectedTail.size());
    EXPECT_EQ(module.substr(module.size() - expectedTail.size()), expectedTail) << module;
  }
}

TEST(ModuleScanFromOutside, FindsNothingInAPlainProcess) {
  auto values = RunProbe(Probe(), L"modules");
  EXPECT_EQ(values["found"], "0");
}

// ---- blocked programs --------------------------------------------------

TEST(ProgramScanFromOutside, FindsABlockedNameByBothFormsAndARenamedToolByTheFullForm) {
  struct Case {
    const wchar_t* fixture;
    const wchar_t* runAs;
    const char* quickResult;
    const char* fullResult;
    const char* code;  // of the full form's finding
    const char* displayName;
  } cases[] = {
      {L"idle_program.exe", L"cheatengine-x86_64.exe", "1", "1", "AC-PROC-001", "Cheat Engine"},
      {L"idle_program.exe", L"X64DBG.EXE", "1", "1", "AC-PROC-002", "x64dbg"},
      // The memory editor's version resource under an innocent file name.
      {L"versioned_tool.exe", L"notes_helper.exe", "0", "1", "AC-PROC-001", "Cheat Engine"},
      // The same innocent name without that resource.
      {L"idle_program.exe", L"notes_helper.exe", "0", "0", nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.runAs, c.runAs + wcslen(c.runAs)));
    RenamedCopies copies;
    std::wstring path = copies.Copy(c.fixture, c.runAs);
    RunningCopy tool = StartCopy(path);
    ASSERT_TRUE(tool.process->Started());
    ASSERT_TRUE(tool.ready->Wait(20000));

    auto quick = RunProbe(Probe(), L"programs quick");
    auto full = RunProbe(Probe(), L"programs full");
    EXPECT_EQ(quick["result"], c.quickResult);
    EXPECT_EQ(full["result"], c.fullResult);
    for (auto* values : {&quick, &full}) {
      if ((*values)["result"] != "1") continue;
      EXPECT_EQ((*values)["pid"], std::to_string(tool.process->Id()));
      EXPECT_EQ((*values)["holds"], "0") << "this copy holds no handle to the probe";
      EXPECT_EQ((*values)["access"], "0x00000000");
      std::string image = (*values)["image"];
      std::string runAs(c.runAs, c.runAs + wcslen(c.runAs));
      ASSERT_GE(image.size(), runAs.size());
      EXPECT_EQ(image.substr(image.size() - runAs.size()), runAs);
    }
    if (!c.code) continue;
    EXPECT_EQ(full["code"], c.code);
    EXPECT_EQ(full["name"], c.displayName);
    EXPECT_EQ(full["hard"], "1");
    if (c.quickResult[0] == '1') {
      EXPECT_EQ(quick["code"], c.code);
    }
    EXPECT_EQ(full["startup_message"], std::string("Zarnel cannot start while ") + c.displayName +
                                           " is running. Close it completely, including its tray or background "
                                           "process, then try again. (Code " + c.code + ")");
  }
}

TEST(ProgramScanFromOutside, ReportsTheAccessAHardCheatToolHoldsToTheClient) {
  struct Case {
    const char* name;
    const wchar_t* fixture;
    const wchar_t* runAs;
    const wchar_t* accessHex;  // null: opens no handle
    const wchar_t* form;
    const char* holds;
    const char* access;
  } cases[] = {
      {"read_write_quick", L"idle_program.exe", L"cheatengine-x86_64.exe", L"30", L"quick", "1", "0x00000030"},
      {"read_write_full", L"idle_program.exe", L"cheatengine-x86_64.exe", L"30", L"full", "1", "0x00000030"},
      {"renamed_full", L"versioned_tool.exe", L"notes_helper.exe", L"38", L"full", "1", "0x00000038"},
      {"no_handle", L"idle_program.exe", L"cheatengine-x86_64.exe", nullptr, L"full", "0", "0x00000000"},
      // A handle that only waits for the game and reads its name is what
      // launchers hold; it is no access to the game's memory.
      {"synchronize_query_only", L"idle_program.exe", L"cheatengine-x86_64.exe", L"101000", L"full", "0",
       "0x00000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RenamedCopies copies;
    std::wstring path = copies.Copy(c.fixture, c.runAs);
    NamedEvent go(UniqueName(L"go"));
    BackgroundProcess probe(Probe(), go.Name() + L" programs " + c.form, true);
    ASSERT_TRUE(probe.Started());
    RunningCopy tool = StartCopy(path, probe.Id(), c.accessHex);
    ASSERT_TRUE(tool.ready->Wait(20000));
    go.Set();
    auto values = ParseKeyValues(probe.Output());
    EXPECT_EQ(values["result"], "1");
    EXPECT_EQ(values["code"], "AC-PROC-001");
    EXPECT_EQ(values["pid"], std::to_string(tool.process->Id()));
    EXPECT_EQ(values["holds"], c.holds);
    EXPECT_EQ(values["access"], c.access);
  }
}

TEST(ProgramScanFromOutside, NeverReportsTheClientItselfUnderABlockedName) {
  RenamedCopies copies;
  std::wstring client = copies.Copy(L"checks_probe.exe", L"cheatengine-x86_64.exe");
  ASSERT_FALSE(client.empty());
  for (const wchar_t* form : {L"quick", L"full"}) {
    auto values = RunProbe(client, std::wstring(L"programs ") + form);
    EXPECT_EQ(values["result"], "0") << values["image"];
  }
}

TEST(ProgramScanFromOutside, LeavesEverydayProgramsBesideTheGameAlone) {
  // Overlays, streaming and recording, voice chat, launchers, hardware
  // monitors, and names that hold a blocked name inside them.
  const wchar_t* everyday[] = {
      L"Discord.exe", L"obs64.exe", L"obs32.exe", L"Streamlabs OBS.exe", L"Medal.exe", L"steam.exe",
      L"steamwebhelper.exe", L"GameOverlayUI.exe", L"EpicGamesLauncher.exe", L"Battle.net.exe", L"EADesktop.exe",
      L"upc.exe", L"GalaxyClient.exe", L"Overwolf.exe", L"NVIDIA Share.exe", L"nvcontainer.exe", L"nvidia.exe",
      L"RadeonSoftware.exe", L"MSIAfterburner.exe", L"RTSS.exe", L"HWiNFO64.exe", L"HWMonitor.exe",
      L"ts3client_win64.exe", L"mumble.exe", L"Spotify.exe", L"LGHUB.exe", L"iCUE.exe", L"GameBar.exe",
      L"Taskmgr.exe", L"procexp.exe", L"cheatengine-tutorial-notes.exe", L"x64dbg_helper.exe",
  };
  RenamedCopies copies;
  std::vector<RunningCopy> running;
  for (const wchar_t* name : everyday) {
    std::wstring path = copies.Copy(L"idle_program.exe", name);
    ASSERT_FALSE(path.empty());
    running.push_back(StartCopy(path));
  }
  for (RunningCopy& copy : running) ASSERT_TRUE(copy.ready->Wait(20000));
  for (const wchar_t* form : {L"quick", L"full"}) {
    auto values = RunProbe(Probe(), std::wstring(L"programs ") + form);
    EXPECT_EQ(values["result"], "0") << values["image"] << " matched as " << values["name"];
  }
}

// ---- the start-up through the shipped DLL -------------------------------

TEST(StartupChecksFromOutside, ABlockedProgramEndsTheClientWithItsCodeAndStartsTheHelper) {
  if (!HaveSampleClient()) GTEST_SKIP() << "built for a studio's client: no sample client to start";
  SampleClientCopy client({L"lifecycle_host.exe"});
  ASSERT_TRUE(client.Complete());
  RenamedCopies copies;
  // An ordinary row (no handle, no hard-cheat recording): the start-up ends
  // the client at once.
  RunningCopy tool = StartCopy(copies.Copy(L"idle_program.exe", L"WeMod.exe"));
  ASSERT_TRUE(tool.ready->Wait(20000));

  ProcessResult run = RunProcess(client.Path() + L"lifecycle_host.exe", L"sequence", client.Path());
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 13u) << run.output;
  EXPECT_EQ(run.output.find("initialize_first="), std::string::npos) << "the start-up never returned";

  std::vector<std::string> records;
  for (int i = 0; i < 200 && records.empty(); ++i, Sleep(50)) {
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((client.Path() + L"ZarnelUpdateHelper.record-*.txt").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) continue;
    FindClose(find);
    HANDLE file = CreateFileW((client.Path() + data.cFileName).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) continue;
    char buffer[8192];
    DWORD read = 0;
    ReadFile(file, buffer, sizeof(buffer), &read, nullptr);
    CloseHandle(file);
    records.emplace_back(buffer, read);
  }
  ASSERT_EQ(records.size(), 1u) << "the error helper was started";
  auto record = ParseKeyValues(records[0]);
  EXPECT_EQ(record["code"], "AC-PROC-030");
}
