// The client files seen from outside: a real client started from its own
// directory holds its files against writers, renames and deletes until the
// guard shuts down, and every kind of damage to a copy of the sample client
// stops the start with its own message.
#include <gtest/gtest.h>
#include <windows.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "directory_tree.h"
#include "contained_process.h"
#include "process_runner.h"
#include "sample_client_copy.h"

namespace {
std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// client_files_host started in the background, paced through named events.
class HeldClient {
 public:
  explicit HeldClient(const std::wstring& directory) {
    static LONG counter = 0;
    wchar_t name[96];
    swprintf(name, 96, L"ZarnelGuardTestHold-%lu-%ld", GetCurrentProcessId(), InterlockedIncrement(&counter));
    prefix_ = name;
    for (int i = 0; i < 4; ++i)
      events_[i] = CreateEventW(nullptr, TRUE, FALSE, (prefix_ + kSuffixes[i]).c_str());
    outputPath_ = directory + L"host-output.txt";
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE output = CreateFileW(outputPath_.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                &inheritable, CREATE_ALWAYS, 0, nullptr);
    if (output == INVALID_HANDLE_VALUE) return;
    STARTUPINFOW startup = {};
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::wstring exe = directory + L"client_files_host.exe";
    started_ = process_.Start(exe, L"\"" + exe + L"\" " + prefix_, directory, {output}, 0, startup);
    CloseHandle(output);
  }
  ~HeldClient() {
    if (started_) {
      SetEvent(events_[1]);
      SetEvent(events_[3]);
      WaitForSingleObject(process_.Process(), 30000);
      process_.End();
    }
    for (HANDLE e : events_)
      if (e) CloseHandle(e);
  }

  // Waits for the guard's start to have run; its result and message.
  bool WaitStarted(std::map<std::string, std::string>& values) {
    if (!started_ || !WaitFor(events_[0])) return false;
    std::ifstream output(outputPath_.c_str());
    std::stringstream text;
    text << output.rdbuf();
    std::string clean;
    for (char c : text.str())
      if (c != '\r') clean += c;
    values = ParseKeyValues(clean);
    return true;
  }
  bool Shutdown() { return SetEvent(events_[1]) && WaitFor(events_[2]); }

 private:
  // Either the event, or the host ended early (then the test fails).
  bool WaitFor(HANDLE event) {
    HANDLE handles[2] = {event, process_.Process()};
    return WaitForMultipleObjects(2, handles, FALSE, 60000) == WAIT_OBJECT_0;
  }

  static constexpr const wchar_t* kSuffixes[4] = {L"-started", L"-shutdown", L"-stopped", L"-exit"};
  std::wstring prefix_, outputPath_;
  HANDLE events_[4] = {};
  ContainedProcess process_;
  bool started_ = false;
};

DWORD OpenError(const std::wstring& path, DWORD access, DWORD share) {
  HANDLE file = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return GetLastError();
  CloseHandle(file);
  return ERROR_SUCCESS;
}
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What another process may do to a client file.
void ExpectHeld(const std::wstring& path) {
  SCOPED_TRACE(Narrow(path));
  EXPECT_EQ(OpenError(path, GENERIC_READ, FILE_SHARE_READ), static_cast<DWORD>(ERROR_SUCCESS))
      << "a reader that shares reading gets in";
  EXPECT_EQ(OpenError(path, GENERIC_WRITE, kShareAll), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(OpenError(path, DELETE, kShareAll), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(MoveFileW(path.c_str(), (path + L".moved").c_str()));
  EXPECT_FALSE(DeleteFileW(path.c_str()));
}
void ExpectFree(const std::wstring& path) {
  SCOPED_TRACE(Narrow(path));
  EXPECT_EQ(OpenError(path, GENERIC_WRITE, 0), static_cast<DWORD>(ERROR_SUCCESS));
  ASSERT_TRUE(MoveFileW(path.c_str(), (path + L".moved").c_str()));
  ASSERT_TRUE(MoveFileW((path + L".moved").c_str(), path.c_str()));
}

bool AppendByte(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  BYTE b = 0x5A;
  DWORD n = 0;
  bool ok = WriteFile(file, &b, 1, &n, nullptr) && n == 1;
  CloseHandle(file);
  return ok;
}

class SampleClientFiles : public testing::Test {
 protected:
  void SetUp() override {
    if (!HaveSampleClient()) GTEST_SKIP() << "built for a studio's client: no sample client to damage";
    names = SampleClientFileNames();
    ASSERT_EQ(names.size(), 25u);
  }
  std::vector<std::wstring> names;
};
}  // namespace

TEST_F(SampleClientFiles, TheSampleClientStartsWithItsCompanionsFromItsOwnDirectory) {
  ProcessResult run = RunProcess(SampleClientDirectory() + L"Zarnel.exe", L"", SampleClientDirectory());
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 0u) << run.output;
  EXPECT_NE(run.output.find("companions ZarnelRender ZarnelAudio ZarnelNet ZarnelInput ZarnelScript"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("Zarnel: guard started"), std::string::npos) << run.output;
}

TEST_F(SampleClientFiles, ACorrectClientsFilesAreHeldUntilShutdown) {
  SampleClientCopy client({L"client_files_host.exe"});
  ASSERT_TRUE(client.Complete());
  HeldClient host(client.Path());
  std::map<std::string, std::string> values;
  ASSERT_TRUE(host.WaitStarted(values));
  ASSERT_EQ(values["initialize"], "1") << values["message"];

  for (const std::wstring& name : names) ExpectHeld(client.Path() + name);
  ASSERT_TRUE(host.Shutdown());
  // The host still runs: only the guard's shutdown has let the files go.
  for (const std::wstring& name : names) ExpectFree(client.Path() + name);
  EXPECT_TRUE(DeleteFileW((client.Path() + names.back()).c_str()));
}

TEST_F(SampleClientFiles, WhenTheFifthCoreFileFailsTheFirstFourAreFreeWhileTheClientRuns) {
  SampleClientCopy client({L"client_files_host.exe"});
  ASSERT_TRUE(client.Complete());
  ASSERT_TRUE(FlipFirstByte(client.Path() + names[4]));
  HeldClient host(client.Path());
  std::map<std::string, std::string> values;
  ASSERT_TRUE(host.WaitStarted(values));
  EXPECT_EQ(values["initialize"], "0");
  EXPECT_EQ(values["message"], "A Zarnel client file failed its integrity check: " + Narrow(names[4]));
  for (int i = 0; i < 4; ++i) ExpectFree(client.Path() + names[i]);
}

namespace {
// One kind of damage done to a fresh copy of the sample client before its
// Zarnel.exe starts, and what the guard must answer.
struct DamageCase {
  const char* name;
  size_t entry;  // manifest position (0-based) of the damaged file
  std::function<bool(const std::wstring& path, const std::wstring& directory)> damage;
  std::string message;  // "%s" stands for the bare file name
  bool retried;         // the open is retried for about two seconds first
};

std::string Expand(std::string format, const std::wstring& name) {
  return format.replace(format.find("%s"), 2, Narrow(name));
}

const DamageCase kDamageCases[] = {
    {"missing_data_file", 7, [](const std::wstring& p, const std::wstring&) { return DeleteFileW(p.c_str()) != 0; },
     "A required Zarnel client file is missing. It may have been deleted or quarantined: %s", false},
    {"archive_byte_changed", 12, [](const std::wstring& p, const std::wstring&) { return FlipFirstByte(p); },
     "A Zarnel client file failed its integrity check: %s", false},
    {"archive_byte_appended", 20, [](const std::wstring& p, const std::wstring&) { return AppendByte(p); },
     "A Zarnel client file has an unexpected size: %s", false},
    {"companion_second_hard_link", 2,
     [](const std::wstring& p, const std::wstring& d) {
       return CreateHardLinkW((d + L"elsewhere.bin").c_str(), p.c_str(), nullptr) != 0;
     },
     "A Zarnel client file has an unexpected hard-link count: %s", false},
    {"directory_in_an_archives_place", 9,
     [](const std::wstring& p, const std::wstring&) {
       return DeleteFileW(p.c_str()) && CreateDirectoryW(p.c_str(), nullptr);
     },
     "Access to a required Zarnel client file was denied after retrying: %s (Windows error 5)", true},
};

class DamagedSampleClient : public SampleClientFiles, public testing::WithParamInterface<DamageCase> {};
}  // namespace

TEST_P(DamagedSampleClient, RefusesToStartWithTheMessageForTheDamage) {
  const DamageCase& c = GetParam();
  SampleClientCopy client;
  ASSERT_TRUE(client.Complete());
  ASSERT_TRUE(c.damage(client.Path() + names[c.entry], client.Path()));
  ULONGLONG begin = GetTickCount64();
  ProcessResult run = RunProcess(client.Path() + L"Zarnel.exe", L"", client.Path());
  // Shown for the record, not judged: timing under Wine is not a contract.
  if (c.retried) RecordProperty("elapsed_ms", static_cast<int>(GetTickCount64() - begin));
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 1u) << run.output;
  EXPECT_NE(run.output.find("Zarnel: guard refused to start: " + Expand(c.message, names[c.entry]) + "\n"),
            std::string::npos)
      << run.output;
}

INSTANTIATE_TEST_SUITE_P(Table, DamagedSampleClient, testing::ValuesIn(kDamageCases),
                         [](const testing::TestParamInfo<DamageCase>& info) { return std::string(info.param.name); });

TEST_F(SampleClientFiles, AFileThatAnotherProgramWritesStaysLockedWithError32) {
  SampleClientCopy client;
  ASSERT_TRUE(client.Complete());
  std::wstring path = client.Path() + names[7];
  HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  ULONGLONG begin = GetTickCount64();
  ProcessResult run = RunProcess(client.Path() + L"Zarnel.exe", L"", client.Path());
  RecordProperty("elapsed_ms", static_cast<int>(GetTickCount64() - begin));
  CloseHandle(writer);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 1u) << run.output;
  EXPECT_NE(run.output.find("Zarnel: guard refused to start: A required Zarnel client file stayed locked by "
                            "another program: " +
                            Narrow(names[7]) + " (Windows error 32)\n"),
            std::string::npos)
      << run.output;
}

// The build links <build>/client-symlink to the sample client directory: the
// files are the right ones, but their final paths are not under the
// directory the guard was loaded from.
TEST_F(SampleClientFiles, AClientReachedThroughASymbolicLinkResolvesOutsideItsPath) {
  std::wstring link = SampleClientLinkDirectory();
  ProcessResult run = RunProcess(link + L"Zarnel.exe", L"", link);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 1u) << run.output;
  EXPECT_NE(run.output.find("Zarnel: guard refused to start: A Zarnel client file resolves outside its expected "
                            "path: " +
                            Narrow(names[0]) + "\n"),
            std::string::npos)
      << run.output;
}
