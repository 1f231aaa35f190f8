// Hostile calls to the nine exports of the shipped DLL, in every lifecycle
// state of one host process (hostile_host.exe in a copy of the sample
// client): null pointers, short and huge capacities, every out-of-range
// value. Each must give its documented result and message, leave the
// caller's buffers as documented, and change no state it has no business
// changing (the single-client marker, the handles the process holds).
#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "process_runner.h"
#include "sample_client_copy.h"

namespace {
const char kInitialText[] = "ZarnelGuard initialization failed.";
const char kInvalidOutput[] = "ZarnelGuard received an invalid login-proof output buffer.";
const char kRejectedLogin[] = "ZarnelGuard rejected an invalid login challenge.";
const char kRejectedChallenge[] = "ZarnelGuard rejected an invalid hard-cheat challenge.";

struct HostileCase {
  std::string phase;
  std::string name;
  std::string result;
  const char* text;     // nullptr: the call leaves the last-error text as it was
  const char* outputs;  // nullptr: the call has no output buffers
  int size;             // the size output of Take; -1 when it had none
  const char* marker;   // the single-client marker after the call
};

std::vector<HostileCase> Cases() {
  std::vector<HostileCase> cases;
  auto add = [&](const std::string& phase, const std::string& name, const std::string& result, const char* text,
                 const char* outputs, int size, const char* marker) {
    cases.push_back({phase, name, result, text, outputs, size, marker});
  };
  // The calls that change nothing, whatever the state.
  for (const char* phase : {"before", "running", "after"}) {
    const char* marker = std::string(phase) == "running" ? "held" : "free";
    add(phase, "build", "62", nullptr, nullptr, -1, marker);
    add(phase, "take_all_null", "0", nullptr, "untouched", -1, marker);
    add(phase, "take_no_size", "0", nullptr, "untouched", -1, marker);
    add(phase, "take_no_buffer", "0", nullptr, "untouched", 0, marker);
    add(phase, "take_capacity_0", "0", nullptr, "untouched", 0, marker);
    add(phase, "take_capacity_240", "0", nullptr, "untouched", 0, marker);
    add(phase, "take_capacity_max", "0", nullptr, "untouched", 0, marker);
    add(phase, "take_no_report", "0", nullptr, "untouched", 0, marker);
    add(phase, "ack_null_id", "0", nullptr, nullptr, -1, marker);
    add(phase, "ack_accepted_2", "0", nullptr, nullptr, -1, marker);
    add(phase, "ack_accepted_255", "0", nullptr, nullptr, -1, marker);
    add(phase, "ack_unknown_id", "0", nullptr, nullptr, -1, marker);
    add(phase, "ack_unknown_id_rejected", "0", nullptr, nullptr, -1, marker);
    add(phase, "clear", "-", nullptr, nullptr, -1, marker);
    // A null output is refused before anything else, even before the
    // start-up: nothing is written and the guard does not start.
    for (const char* output : {"build", "kind", "digest", "key", "signature"})
      add(phase, std::string("login_null_") + output + "_out", "0", kInvalidOutput, "untouched", -1, marker);
  }

  add("before", "last_error", "text", kInitialText, nullptr, -1, "free");
  add("before", "shutdown", "-", nullptr, nullptr, -1, "free");
  add("before", "shutdown_again", "-", nullptr, nullptr, -1, "free");
  // Set runs the start-up before it looks at the challenge.
  add("before", "set_invalid_starts", "0", kRejectedChallenge, nullptr, -1, "held");

  add("running", "initialize", "1", nullptr, nullptr, -1, "held");
  add("running", "initialize_again", "1", nullptr, nullptr, -1, "held");
  for (const char* name :
       {"login_version_0", "login_version_1", "login_version_max", "login_build_0", "login_build_63",
        "login_build_max", "login_null_id", "login_null_nonce", "login_zero_id", "login_zero_nonce",
        "login_null_name", "login_name_length_0", "login_name_length_33", "login_name_length_255",
        "login_name_upper_case", "login_name_space", "login_name_del", "login_name_high_byte",
        "login_name_fill_not_zero", "login_name_zero_inside"})
    add("running", name, "0", kRejectedLogin, "zero", -1, "held");
  add("running", "login_valid", "1", nullptr, "set", -1, "held");
  for (const char* phase : {"running", "after"}) {
    const char* marker = std::string(phase) == "running" ? "held" : "free";
    for (const char* name : {"set_version_0", "set_version_2", "set_version_max", "set_build_0", "set_build_63",
                             "set_build_max", "set_null_id", "set_null_nonce", "set_zero_id", "set_zero_nonce"})
      add(phase, name, "0", kRejectedChallenge, nullptr, -1, marker);
    add(phase, "set_valid", "1", nullptr, nullptr, -1, marker);
    // A held challenge without a detection has no report.
    add(phase, "take_no_detection", "0", nullptr, "untouched", 0, marker);
  }
  add("running", "set_valid_again", "1", nullptr, nullptr, -1, "held");
  add("running", "clear_twice", "-", nullptr, nullptr, -1, "held");
  add("running", "shutdown", "-", nullptr, nullptr, -1, "free");

  // After a shutdown the start-up never runs again: Initialize says 1, but
  // there is no key and no machine identity to sign with.
  add("after", "initialize", "1", nullptr, nullptr, -1, "free");
  add("after", "login_valid", "0", kRejectedLogin, "zero", -1, "free");
  add("after", "shutdown", "-", nullptr, nullptr, -1, "free");
  add("after", "shutdown_again", "-", nullptr, nullptr, -1, "free");
  add("after", "initialize_after_shutdowns", "1", nullptr, nullptr, -1, "free");
  return cases;
}

// One host process runs every case in order; the cases read its output.
class ExportHostileCalls : public testing::TestWithParam<HostileCase> {
 protected:
  static void SetUpTestSuite() {
    run_ = new ProcessResult();
    if (!HaveSampleClient()) return;
    SampleClientCopy client({L"hostile_host.exe"});
    if (!client.Complete()) return;
    *run_ = RunProcess(client.Path() + L"hostile_host.exe", L"", client.Path(), 120000);
    values_ = new std::map<std::string, std::string>(ParseKeyValues(run_->output));
  }
  static void TearDownTestSuite() {
    delete run_;
    delete values_;
    run_ = nullptr;
    values_ = nullptr;
  }
  void SetUp() override {
    if (!HaveSampleClient()) GTEST_SKIP() << "built for a studio's client: no sample client to start in";
    ASSERT_TRUE(run_->finished) << "the host did not finish (crash or hang):\n" << run_->output;
    ASSERT_EQ(run_->exitCode, 0u) << run_->output;
    ASSERT_EQ(Value("done"), "1");
  }
  static std::string Value(const std::string& key) {
    auto found = values_->find(key);
    return found == values_->end() ? "<missing>" : found->second;
  }
  static std::string Field(const HostileCase& c, const char* field) {
    return Value(c.phase + "." + c.name + "." + field);
  }

  static ProcessResult* run_;
  static std::map<std::string, std::string>* values_;
};
ProcessResult* ExportHostileCalls::run_ = nullptr;
std::map<std::string, std::string>* ExportHostileCalls::values_ = nullptr;

TEST_P(ExportHostileCalls, GivesItsDocumentedResultAndLeavesTheStateAsDocumented) {
  const HostileCase& c = GetParam();
  EXPECT_EQ(Field(c, "result"), c.result);
  if (c.text) {
    EXPECT_EQ(Field(c, "text"), c.text);
  } else {
    EXPECT_EQ(Field(c, "changed"), "0") << "the text became: " << Field(c, "text");
  }
  if (c.outputs) EXPECT_EQ(Field(c, "outputs"), c.outputs);
  if (c.size >= 0) EXPECT_EQ(Field(c, "size"), std::to_string(c.size));
  EXPECT_EQ(Field(c, "marker"), c.marker);
}

INSTANTIATE_TEST_SUITE_P(Calls, ExportHostileCalls, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<HostileCase>& info) {
                           return info.param.phase + "_" + info.param.name;
                         });

// Calls that refuse their input hold nothing afterwards: in each state, the
// process holds as many handles after the last refused call as after the
// first one; and a shutdown after a shutdown releases nothing more.
TEST_F(ExportHostileCalls, RefusedCallsAndRepeatedShutdownsKeepTheHandleCount) {
  std::map<std::string, std::string>& values = *values_;
  for (const char* phase : {"before", "running", "after"}) {
    std::string p = phase;
    EXPECT_EQ(values[p + ".login_null_signature_out.handles"], values[p + ".build.handles"]) << phase;
  }
  EXPECT_EQ(values["running.set_zero_nonce.handles"], values["running.login_version_0.handles"]);
  EXPECT_EQ(values["after.set_zero_nonce.handles"], values["after.set_version_0.handles"]);
  EXPECT_EQ(values["before.shutdown_again.handles"], values["before.build.handles"]);
  EXPECT_EQ(values["after.shutdown_again.handles"], values["after.shutdown.handles"]);
  EXPECT_EQ(values["after.initialize_after_shutdowns.handles"], values["after.shutdown.handles"]);
  // The shutdown gives back everything the start-up took.
  EXPECT_EQ(values["running.shutdown.handles"], values["before.shutdown_again.handles"]);
}
}  // namespace
