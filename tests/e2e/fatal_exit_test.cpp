// The fatal exit seen from outside: exit code 13, and the error helper
// started at most once, with exactly one inherited SYNCHRONIZE handle.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "process_runner.h"

namespace {
struct FatalCase {
  const char* name;
  const wchar_t* arguments;  // fatal_probe scenario and code
  bool helperPresent;
  int expectedHelpers;
  const char* expectedCode;
};

const FatalCase kFatalCases[] = {
    {"running", L"running AC-VM-001", true, 1, "AC-VM-001"},
    {"tableless_code", L"running AC-PROC-000", true, 1, "AC-PROC-000"},
    {"terminate_returns", L"terminate-returns AC-SCAN-001", true, 1, "AC-SCAN-001"},
    {"two_racing_exits", L"race AC-DEBUG-001", true, 1, "AC-DEBUG-001"},
    {"guard_not_running", L"idle AC-VM-001", true, 0, nullptr},
    {"empty_code", L"running <empty>", true, 0, nullptr},
    {"code_with_space", L"running \"AC VM-001\"", true, 0, nullptr},
    {"code_with_quote", L"running AC\\\"VM-001", true, 0, nullptr},
    {"helper_missing", L"running AC-VM-001", false, 0, nullptr},
};

class FatalExitFromOutside : public testing::TestWithParam<FatalCase> {};

std::vector<std::string> WaitForRecords(const ClientDirectory& client, size_t expected) {
  std::vector<std::string> records;
  for (int i = 0; i < 200; ++i) {
    records = client.ReadFiles(L"ZarnelUpdateHelper.record-");
    if (records.size() >= expected) break;
    Sleep(50);
  }
  return records;
}
}  // namespace

TEST_P(FatalExitFromOutside, EndsWithCode13AndStartsTheHelperAtMostOnce) {
  const FatalCase& c = GetParam();
  std::vector<std::wstring> files = {L"fatal_probe.exe"};
  if (c.helperPresent) files.push_back(L"ZarnelUpdateHelper.exe");
  ClientDirectory client(files);

  ProcessResult run = RunProcess(client.Path() + L"fatal_probe.exe", c.arguments, client.Path());
  ASSERT_TRUE(run.started);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exitCode, 13u) << run.output;
  // The job counts every process ever in it: the probe and any helper.
  EXPECT_EQ(run.totalProcesses, 1u + c.expectedHelpers);

  std::vector<std::string> records = WaitForRecords(client, c.expectedHelpers);
  ASSERT_EQ(records.size(), static_cast<size_t>(c.expectedHelpers));
  if (c.expectedHelpers == 0) return;

  auto record = ParseKeyValues(records[0]);
  std::string handle = record["command_line"].substr(record["command_line"].rfind(' ') + 1);
  std::string expectedCommandLine = "\"";
  char path[MAX_PATH * 2];
  WideCharToMultiByte(CP_UTF8, 0, client.Path().c_str(), -1, path, sizeof(path), nullptr, nullptr);
  expectedCommandLine += std::string(path) + "ZarnelUpdateHelper.exe\" --guard-error " + c.expectedCode + " " + handle;
  EXPECT_EQ(record["command_line"], expectedCommandLine);
  EXPECT_EQ(record["arguments"], "ok");
  EXPECT_EQ(record["code"], c.expectedCode);
  EXPECT_EQ(record["handle_text"], "ok") << "plain unsigned decimal";
  EXPECT_EQ(record["handle_valid"], "1");
  EXPECT_EQ(record["handle_type"], "Process");
  EXPECT_EQ(record["handle_access"], "0x00100000") << "SYNCHRONIZE and nothing else";
  EXPECT_EQ(record["handle_is_parent"], "1");
  EXPECT_EQ(record["process_handles"], "1") << "exactly one inherited process handle";
  EXPECT_EQ(record["other_named_handles"].find("ZarnelGuardTestDecoy"), std::string::npos)
      << record["other_named_handles"];
  EXPECT_EQ(record["other_named_handles"].find("fatal_probe.exe"), std::string::npos)
      << record["other_named_handles"];
}

INSTANTIATE_TEST_SUITE_P(Cases, FatalExitFromOutside, testing::ValuesIn(kFatalCases),
                         [](const testing::TestParamInfo<FatalCase>& info) { return std::string(info.param.name); });
