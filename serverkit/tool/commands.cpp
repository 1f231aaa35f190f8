#include "commands.h"

#include <optional>
#include <vector>

#include "answer_json.h"
#include "evidence.h"
#include "hard_cheat_report.h"
#include "login_name.h"
#include "login_proof.h"
#include "requests.h"

namespace zarnel::serverkit::tool {

namespace {

using namespace service;

// Each command's input as a typed value, read whole before anything is
// checked.
struct IssueInput {
  AcceptedBuilds builds;
  std::optional<std::uint32_t> build;  // the client's own
};

struct LoginProofInput {
  LoginProof proof;
  LoginProofPolicy policy;
};

struct HardCheatReportInput {
  Bytes report;
  std::vector<Challenge> issued;
  HardCheatPolicy policy;
};

std::uint32_t ReadNewestBuild(const Json& input) {
  return OptionalU32(input, "newest_client_build").value_or(kNewestClientBuild);
}

IssueInput ReadIssueInput(const Json& input) {
  IssueInput read;
  const std::uint32_t newest = ReadNewestBuild(input);
  read.builds = AcceptedBuildsUpTo(newest, OptionalU32(input, "oldest_client_build"));
  read.build = OptionalU32(input, "build");
  return read;
}

LoginProofInput ReadLoginProofInput(const Json& input) {
  LoginProofInput read;
  read.proof.challenge = ReadChallenge(RequireObject(input, "challenge"));
  ReadLoginProofFields(input, read.proof);
  read.policy.knownPublicKeys = ReadEnrolledKeys(input);
  read.policy.expectedClientBuild = OptionalU32(input, "expected_client_build");
  read.policy.newestClientBuild = ReadNewestBuild(input);
  return read;
}

std::vector<Challenge> ReadIssuedChallenges(const Json& input) {
  std::vector<Challenge> issued;
  if (input.contains("challenge")) issued.push_back(ReadChallenge(RequireObject(input, "challenge")));
  if (input.contains("challenges")) {
    const Json& list = input["challenges"];
    if (!list.is_array()) throw BadInput("field \"challenges\" must be an array");
    for (const Json& entry : list) {
      if (!entry.is_object()) throw BadInput("each of \"challenges\" must be an object");
      issued.push_back(ReadChallenge(entry));
    }
  }
  if (issued.empty()) throw BadInput("missing field \"challenge\" or \"challenges\"");
  return issued;
}

HardCheatReportInput ReadHardCheatReportInput(const Json& input) {
  HardCheatReportInput read;
  read.report = RequireHex(input, "report");
  read.issued = ReadIssuedChallenges(input);
  read.policy.knownPublicKeys = ReadEnrolledKeys(input);
  read.policy.expectedClientBuild = OptionalU32(input, "expected_client_build");
  read.policy.newestClientBuild = ReadNewestBuild(input);
  ReadReportEvidence(input, read.policy);
  return read;
}

CommandResult Issue(const IssueInput& input, std::uint16_t version) {
  Challenge challenge;
  std::uint32_t build = 0;
  Verdict verdict = ChooseChallengeBuild(input.build, input.builds, build);
  if (verdict.ok()) verdict = IssueChallenge(version, build, input.builds.newest, challenge);
  return FromVerdict(verdict, Json{{"challenge", ChallengeToJson(challenge)}});
}

CommandResult VerifyLogin(const LoginProofInput& input) {
  const LoginProof& proof = input.proof;
  const Verdict verdict = VerifyLoginProof(proof, input.policy);
  return FromVerdict(verdict, Json{
                                  {"login_name", FoldLoginName(proof.loginName)},
                                  {"client_build", proof.clientBuild},
                                  {"key_kind", proof.keyKind},
                                  {"machine_digest", ToHex(proof.machineDigest)},
                                  {"public_key", ToHex(proof.publicKey)},
                              });
}

CommandResult VerifyReport(const HardCheatReportInput& input) {
  HardCheatReport report;
  const Verdict verdict = VerifyHardCheatReport(input.report, input.issued, input.policy, report);
  // The fields go out on rejection too: an operator logs what was claimed.
  CommandResult result = FromVerdict(verdict, {});
  if (!report.reportId.empty()) {
    AddReportFields(report, input.policy.evidence.has_value(), result.output);
  }
  return result;
}

CommandResult EvidenceDigest(const EvidenceClaim& claim) {
  std::string text;
  Bytes digest;
  Verdict verdict = FormatEvidenceText(claim, text);
  if (verdict.ok()) verdict = ComputeEvidenceDigest(claim, digest);
  std::string normalised;
  NormaliseEvidenceName(claim.name, normalised);
  return FromVerdict(verdict, Json{
                                  {"normalised_name", normalised},
                                  {"text", text},
                                  {"digest", ToHex(digest)},
                              });
}

}  // namespace

bool IsCommand(const std::string& name) {
  return name == "issue-login-challenge" || name == "issue-hard-cheat-challenge" ||
         name == "verify-login-proof" || name == "verify-hard-cheat-report" ||
         name == "evidence-digest";
}

bool RunCommand(const std::string& name, const Json& input, CommandResult& result) {
  if (!input.is_object()) throw BadInput("input must be a JSON object");
  if (name == "issue-login-challenge") {
    result = Issue(ReadIssueInput(input), kLoginChallengeVersion);
  } else if (name == "issue-hard-cheat-challenge") {
    result = Issue(ReadIssueInput(input), kHardCheatChallengeVersion);
  } else if (name == "verify-login-proof") {
    result = VerifyLogin(ReadLoginProofInput(input));
  } else if (name == "verify-hard-cheat-report") {
    result = VerifyReport(ReadHardCheatReportInput(input));
  } else if (name == "evidence-digest") {
    bool violationGiven = false;
    result = EvidenceDigest(ReadEvidence(input, false, violationGiven));
  } else {
    return false;
  }
  return true;
}

const char* UsageText() {
  return "usage: zarnel-verify COMMAND [INPUT.json]\n"
         "Reads one JSON object from INPUT.json or standard input and writes one\n"
         "JSON object to standard output. Exit 0 accepted, 1 rejected, 2 bad input.\n"
         "Commands:\n"
         "  issue-login-challenge        {\"build\"?, \"oldest_client_build\"?,\n"
         "                                \"newest_client_build\"?}\n"
         "  issue-hard-cheat-challenge   {\"build\"?, \"oldest_client_build\"?,\n"
         "                                \"newest_client_build\"?}\n"
         "  verify-login-proof           {\"challenge\", \"login_name\", \"client_build\",\n"
         "                                \"key_kind\", \"machine_digest\", \"public_key\",\n"
         "                                \"signature\", \"known_public_key\"?,\n"
         "                                \"known_public_keys\"?, \"expected_client_build\"?,\n"
         "                                \"newest_client_build\"?}\n"
         "  verify-hard-cheat-report     {\"report\", \"challenge\" or \"challenges\",\n"
         "                                \"evidence\"?, \"known_public_key(s)\"?,\n"
         "                                \"expected_client_build\"?, \"newest_client_build\"?}\n"
         "  evidence-digest              {\"violation\", \"name\", \"pid\", \"access\"}\n"
         "  serve --listen HOST:PORT\n"
         "        [--store memory|redis://...|redis-sentinel://...|redis-cluster://...]\n"
         "        [OPTION VALUE]... (zarnel-verify serve --help lists them)\n"
         "                                the verification service\n"
         "See README.md for every field.\n";
}

}  // namespace zarnel::serverkit::tool
