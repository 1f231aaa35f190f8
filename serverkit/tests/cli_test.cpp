// zarnel-verify through its JSON interface, as the end-to-end scripts use it.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "record_layouts.h"

namespace zarnel::serverkit {
namespace {

using nlohmann::json;
using testing::Raw;

const char kDebuggerEvidence[] =
    "ZARNEL-GUARD-EVIDENCE-V1\nviolation=1\nname=active-debugger\ntarget-pid=700\n"
    "access=00000000\n";

struct ToolRun {
  int exitCode = -1;
  json output;
};

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

// Runs the tool with `input` on standard input, or as a file argument.
ToolRun RunTool(const std::string& command, const std::string& input, bool asFile = false) {
  char dir[] = "/tmp/zarnel-verify-test-XXXXXX";
  EXPECT_NE(mkdtemp(dir), nullptr);
  const std::string in = std::string(dir) + "/in.json";
  const std::string out = std::string(dir) + "/out.json";
  std::ofstream(in, std::ios::binary) << input;
  const std::string line = std::string("'") + ZARNEL_VERIFY_PATH + "' " + command +
                           (asFile ? " '" + in + "'" : " < '" + in + "'") + " > '" + out + "'";
  const int status = std::system(line.c_str());
  ToolRun run;
  EXPECT_TRUE(WIFEXITED(status)) << line;
  run.exitCode = WEXITSTATUS(status);
  const std::string text = ReadFile(out);
  run.output = json::parse(text, nullptr, /*allow_exceptions=*/false);
  EXPECT_FALSE(run.output.is_discarded()) << "not JSON: " << text;
  std::remove(in.c_str());
  std::remove(out.c_str());
  rmdir(dir);
  return run;
}

void ExpectOutcome(const ToolRun& run, int exitCode, const std::string& check) {
  EXPECT_EQ(run.exitCode, exitCode) << run.output.dump();
  EXPECT_EQ(run.output.value("check", ""), check) << run.output.dump();
  EXPECT_EQ(run.output.value("ok", true), exitCode == 0);
}

TEST(ZarnelVerifyCli, AnswersEachCommandAsDocumented) {
  struct Case {
    const char* name;
    const char* command;
    std::string input;
    int exitCode;
    const char* check;
    std::function<void(const json&)> more;
  };
  const Case cases[] = {
      {"login challenge, default build", "issue-login-challenge", "", 0, "ok",
       [](const json& out) {
         EXPECT_EQ(out["challenge"]["version"], 2);
         EXPECT_EQ(out["challenge"]["build"], 62);
         EXPECT_EQ(testing::Unhex(out["challenge"]["id"].get<std::string>()).size(), 16u);
         EXPECT_EQ(testing::Unhex(out["challenge"]["nonce"].get<std::string>()).size(), 32u);
       }},
      {"hard-cheat challenge, build 7", "issue-hard-cheat-challenge",
       R"({"build":7,"oldest_client_build":1})", 0, "ok",
       [](const json& out) {
         EXPECT_EQ(out["challenge"]["version"], 1);
         EXPECT_EQ(out["challenge"]["build"], 7);
       }},
      {"challenge build 63", "issue-login-challenge", R"({"build":63})", 1,
       "challenge-build-out-of-range", nullptr},
      {"evidence of the debugger example", "evidence-digest",
       R"({"violation":1,"name":"Active Debugger","pid":700,"access":0})", 0, "ok",
       [](const json& out) {
         EXPECT_EQ(out["text"], kDebuggerEvidence);
         EXPECT_EQ(out["normalised_name"], "active-debugger");
         EXPECT_EQ(out["digest"], testing::Hex(testing::Sha256Of(std::string(kDebuggerEvidence))));
       }},
      {"evidence name of separators only", "evidence-digest",
       R"({"violation":1,"name":"--","pid":700,"access":0})", 1, "evidence-invalid", nullptr},
      {"evidence without violation", "evidence-digest",
       R"({"name":"active-debugger","pid":700,"access":0})", 2, "bad-input", nullptr},
      {"verify without fields", "verify-login-proof", "{}", 2, "bad-input", nullptr},
      {"not JSON", "verify-login-proof", "{\"challenge\":", 2, "bad-input", nullptr},
      {"JSON array", "evidence-digest", "[1]", 2, "bad-input", nullptr},
      {"negative pid", "evidence-digest", R"({"violation":1,"name":"x","pid":-1,"access":0})",
       2, "bad-input", nullptr},
      {"odd-length hex", "verify-hard-cheat-report",
       R"({"report":"abc","challenge":{"version":1,"build":62,"id":"01","nonce":"01"}})", 2,
       "bad-input", nullptr},
      {"unknown command", "verify-everything", "{}", 2, "bad-input", nullptr},
      {"newer build once the server's newest", "issue-login-challenge",
       R"({"build":63,"newest_client_build":63})", 0, "ok",
       [](const json& out) { EXPECT_EQ(out["challenge"]["build"], 63); }},
      // A guard refuses a challenge naming a build above its own: accepting
      // a newer build must not make the challenge name it.
      {"default build is the kit's own, not the newest accepted", "issue-hard-cheat-challenge",
       R"({"newest_client_build":70})", 0, "ok",
       [](const json& out) { EXPECT_EQ(out["challenge"]["build"], 62); }},
      {"default build is the oldest accepted", "issue-login-challenge",
       R"({"oldest_client_build":60,"newest_client_build":63})", 0, "ok",
       [](const json& out) { EXPECT_EQ(out["challenge"]["build"], 60); }},
      {"default build is the newest when it is older than the kit's", "issue-login-challenge",
       R"({"newest_client_build":50})", 0, "ok",
       [](const json& out) { EXPECT_EQ(out["challenge"]["build"], 50); }},
      {"a build below the oldest accepted", "issue-login-challenge",
       R"({"build":59,"oldest_client_build":60})", 1, "challenge-build-out-of-range", nullptr},
      {"a build below the kit's own by default", "issue-login-challenge", R"({"build":61})", 1,
       "challenge-build-out-of-range", nullptr},
      {"an oldest above the newest", "issue-login-challenge",
       R"({"oldest_client_build":64,"newest_client_build":63})", 1,
       "challenge-build-out-of-range", nullptr},
      {"oldest not a number", "issue-login-challenge", R"({"oldest_client_build":"60"})", 2,
       "bad-input", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ToolRun run = RunTool(c.command, c.input);
    ExpectOutcome(run, c.exitCode, c.check);
    if (c.more) c.more(run.output);
  }
}

// The server's round trip: the tool issues the challenge, a device answers
// it, the tool verifies the answer.
TEST(ZarnelVerifyCli, VerifiesALoginProofForAChallengeItIssued) {
  const ToolRun issued =
      RunTool("issue-login-challenge", R"({"build":50,"oldest_client_build":50})");
  ASSERT_EQ(issued.exitCode, 0);
  const json challenge = issued.output["challenge"];

  const testing::TestDeviceKey device = testing::MakeTestDeviceKey();
  const testing::TestDeviceKey stranger = testing::MakeTestDeviceKey();
  testing::LoginRecordFields fields;
  fields.challengeBuild = 50;
  fields.challengeId = testing::Unhex(challenge["id"].get<std::string>());
  fields.challengeNonce = testing::Unhex(challenge["nonce"].get<std::string>());
  fields.loginName = "alice";
  fields.publicKey = device.blob;
  const Raw signature = testing::SignRecord(device, testing::LayLoginProofRecord(fields));
  const json request = {
      {"challenge", challenge},
      {"login_name", "Alice"},
      {"client_build", 62},
      {"key_kind", 2},
      {"machine_digest", testing::Hex(fields.machineDigest)},
      {"public_key", testing::Hex(device.blob)},
      {"signature", testing::Hex(signature)},
  };

  struct Case {
    const char* name;
    std::function<void(json&)> mutate;
    bool asFile;
    int exitCode;
    const char* check;
  };
  const Case cases[] = {
      {"as returned", [](json&) {}, false, 0, "ok"},
      {"from a file argument", [](json&) {}, true, 0, "ok"},
      {"upper-case hex", [&](json& r) {
         std::string upper = r["signature"];
         for (char& ch : upper) ch = static_cast<char>(std::toupper(ch));
         r["signature"] = upper;
       }, false, 0, "ok"},
      {"enrolled key matches", [&](json& r) { r["known_public_key"] = testing::Hex(device.blob); },
       false, 0, "ok"},
      {"enrolled key differs",
       [&](json& r) { r["known_public_key"] = testing::Hex(stranger.blob); }, false, 1,
       "unknown-device-key"},
      {"signature of another name", [](json& r) { r["login_name"] = "bob"; }, false, 1,
       "signature-mismatch"},
      {"short signature",
       [](json& r) { r["signature"] = r["signature"].get<std::string>().substr(2); }, false, 1,
       "wrong-length"},
      {"one of the enrolled keys",
       [&](json& r) {
         r["known_public_keys"] = {testing::Hex(stranger.blob), testing::Hex(device.blob)};
       }, false, 0, "ok"},
      {"none of the enrolled keys",
       [&](json& r) { r["known_public_keys"] = {testing::Hex(stranger.blob)}; }, false, 1,
       "unknown-device-key"},
      {"enrolled keys not a list", [&](json& r) { r["known_public_keys"] = "00"; }, false, 2,
       "bad-input"},
      {"key kind 3", [](json& r) { r["key_kind"] = 3; }, false, 1, "key-kind-invalid"},
      {"key kind as text", [](json& r) { r["key_kind"] = "2"; }, false, 2, "bad-input"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json input = request;
    c.mutate(input);
    const ToolRun run = RunTool("verify-login-proof", input.dump(), c.asFile);
    ExpectOutcome(run, c.exitCode, c.check);
    if (run.exitCode == 0) {
      EXPECT_EQ(run.output["login_name"], "alice");
      EXPECT_EQ(run.output["key_kind"], 2);
      EXPECT_EQ(run.output["public_key"], testing::Hex(device.blob));
    }
  }
}

TEST(ZarnelVerifyCli, VerifiesAHardCheatReportForAChallengeItIssued) {
  const ToolRun issued = RunTool("issue-hard-cheat-challenge", "{}");
  ASSERT_EQ(issued.exitCode, 0);
  const json challenge = issued.output["challenge"];
  const ToolRun other = RunTool("issue-hard-cheat-challenge", "{}");
  ASSERT_EQ(other.exitCode, 0);

  const testing::TestDeviceKey device = testing::MakeTestDeviceKey();
  testing::HardCheatFields fields;
  fields.challengeId = testing::Unhex(challenge["id"].get<std::string>());
  fields.challengeNonce = testing::Unhex(challenge["nonce"].get<std::string>());
  fields.evidenceDigest = testing::Sha256Of(std::string(kDebuggerEvidence));
  fields.publicKey = device.blob;
  const Raw report = testing::LayHardCheatReport(
      fields, testing::SignRecord(device, testing::LayHardCheatRecord(fields)));
  const json request = {
      {"report", testing::Hex(report)},
      {"challenges", {other.output["challenge"], challenge}},
      {"evidence", {{"name", "active-debugger"}, {"pid", 700}, {"access", 0}}},
  };

  struct Case {
    const char* name;
    std::function<void(json&)> mutate;
    int exitCode;
    const char* check;
  };
  const Case cases[] = {
      {"as taken from the guard", [](json&) {}, 0, "ok"},
      {"single challenge field", [&](json& r) {
         r.erase("challenges");
         r["challenge"] = challenge;
       }, 0, "ok"},
      {"evidence of another process", [](json& r) { r["evidence"]["pid"] = 701; }, 1,
       "evidence-mismatch"},
      {"evidence of another violation", [](json& r) { r["evidence"]["violation"] = 3; }, 1,
       "evidence-mismatch"},
      {"challenge not issued", [&](json& r) { r["challenges"] = {other.output["challenge"]}; },
       1, "challenge-mismatch"},
      {"truncated report",
       [](json& r) { r["report"] = r["report"].get<std::string>().substr(0, 480); }, 1,
       "wrong-length"},
      {"no challenge at all", [](json& r) { r.erase("challenges"); }, 2, "bad-input"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    json input = request;
    c.mutate(input);
    const ToolRun run = RunTool("verify-hard-cheat-report", input.dump());
    ExpectOutcome(run, c.exitCode, c.check);
    // Accepted or rejected, a report of 241 bytes comes back with its fields.
    if (run.exitCode == 0 || (run.exitCode == 1 && std::string(c.check) != "wrong-length")) {
      EXPECT_EQ(run.output["violation"], 1);
      EXPECT_EQ(run.output["report_id"], testing::Hex(fields.reportId));
      EXPECT_EQ(run.output["evidence_digest"], testing::Hex(fields.evidenceDigest));
      EXPECT_EQ(run.output["key_kind"], 2);
      EXPECT_EQ(run.output["public_key"], testing::Hex(device.blob));
      EXPECT_EQ(run.output["evidence_checked"], true);
    }
  }
}

// Whatever the bytes, the tool answers with one JSON object and exit 2:
// it used to abort when its answer quoted bytes that were not UTF-8.
TEST(ZarnelVerifyCli, AnswersBadInputToAnyBytes) {
  const std::string validProof =
      R"({"challenge":{"version":2,"build":62,"id":"01","nonce":"01"},"login_name":"a)";
  const std::string proofTail =
      R"(","client_build":62,"key_kind":1,"machine_digest":"00","public_key":"00","signature":"00"})";
  struct Case {
    const char* name;
    const char* command;
    std::string input;
  };
  const Case cases[] = {
      {"a lone byte 0xff", "verify-login-proof", "\xff"},
      {"0xff inside a JSON string", "verify-login-proof", validProof + "\xff" + proofTail},
      {"cut UTF-8 sequence in a name", "evidence-digest",
       "{\"violation\":1,\"name\":\"\xe2\x82\",\"pid\":1,\"access\":0}"},
      {"NUL bytes", "verify-hard-cheat-report", std::string("{\"report\":\0\0}", 14)},
      {"unknown command", "verify-\xff", "{}"},
      {"deep nesting", "issue-login-challenge",
       std::string(100000, '[') + std::string(100000, ']')},
      {"more than the input limit", "issue-login-challenge", std::string((1 << 20) + 1, ' ')},
      {"lone surrogate escape", "verify-login-proof", validProof + "\\ud800" + proofTail},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExpectOutcome(RunTool(c.command, c.input), 2, "bad-input");
  }
}

}  // namespace
}  // namespace zarnel::serverkit
