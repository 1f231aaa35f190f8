#include "commands.h"

#include <optional>
#include <vector>

#include "evidence.h"
#include "hard_cheat_report.h"
#include "login_name.h"
#include "login_proof.h"

namespace zarnel::serverkit::tool {

namespace {

CommandResult FromVerdict(const Verdict& verdict, Json accepted) {
  CommandResult result;
  if (verdict.ok()) {
    result.output["ok"] = true;
    result.output["check"] = CheckName(verdict.check);
    for (auto& [key, value] : accepted.items()) result.output[key] = value;
    result.exitCode = kExitAccepted;
  } else {
    result.output["ok"] = false;
    result.output["check"] = CheckName(verdict.check);
    result.output["detail"] = verdict.detail;
    result.exitCode = kExitRejected;
  }
  return result;
}

std::uint32_t BuildOrNewest(const Json& input) {
  return OptionalU32(input, "build").value_or(kNewestClientBuild);
}

CommandResult IssueLogin(const Json& input) {
  Challenge challenge;
  const Verdict verdict = IssueLoginChallenge(BuildOrNewest(input), challenge);
  return FromVerdict(verdict, Json{{"challenge", ChallengeToJson(challenge)}});
}

CommandResult IssueHardCheat(const Json& input) {
  Challenge challenge;
  const Verdict verdict = IssueHardCheatChallenge(BuildOrNewest(input), challenge);
  return FromVerdict(verdict, Json{{"challenge", ChallengeToJson(challenge)}});
}

CommandResult VerifyLogin(const Json& input) {
  LoginProof proof;
  proof.challenge = ReadChallenge(RequireObject(input, "challenge"));
  proof.loginName = RequireString(input, "login_name");
  proof.clientBuild = RequireU32(input, "client_build");
  proof.keyKind = RequireU32(input, "key_kind");
  proof.machineDigest = RequireHex(input, "machine_digest");
  proof.publicKey = RequireHex(input, "public_key");
  proof.signature = RequireHex(input, "signature");
  LoginProofPolicy policy;
  policy.knownPublicKey = OptionalHex(input, "known_public_key");
  policy.expectedClientBuild = OptionalU32(input, "expected_client_build");

  const Verdict verdict = VerifyLoginProof(proof, policy);
  return FromVerdict(verdict, Json{
                                  {"login_name", FoldLoginName(proof.loginName)},
                                  {"client_build", proof.clientBuild},
                                  {"key_kind", proof.keyKind},
                                  {"machine_digest", ToHex(proof.machineDigest)},
                                  {"public_key", ToHex(proof.publicKey)},
                              });
}

// `reportViolation` stands in for a missing "violation" when checking a
// report; on its own the evidence needs one.
EvidenceClaim ReadEvidence(const Json& object, std::optional<std::uint32_t> reportViolation) {
  EvidenceClaim claim;
  claim.violation = reportViolation ? OptionalU32(object, "violation").value_or(*reportViolation)
                                    : RequireU32(object, "violation");
  claim.name = RequireString(object, "name");
  claim.processId = RequireU32(object, "pid");
  claim.accessMask = RequireU32(object, "access");
  return claim;
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

CommandResult VerifyReport(const Json& input) {
  const Bytes bytes = RequireHex(input, "report");
  const std::vector<Challenge> issued = ReadIssuedChallenges(input);
  HardCheatPolicy policy;
  policy.knownPublicKey = OptionalHex(input, "known_public_key");
  policy.expectedClientBuild = OptionalU32(input, "expected_client_build");

  HardCheatReport report;
  const bool parsed = ParseHardCheatReport(bytes, report).ok();
  if (input.contains("evidence")) {
    policy.evidence = ReadEvidence(RequireObject(input, "evidence"), report.violation);
  }
  const Verdict verdict = VerifyHardCheatReport(bytes, issued, policy, report);
  Json accepted;
  if (parsed) {
    accepted = Json{
        {"violation", report.violation},
        {"report_id", ToHex(report.reportId)},
        {"evidence_digest", ToHex(report.evidenceDigest)},
        {"key_kind", report.keyKind},
        {"public_key", ToHex(report.publicKey)},
        {"client_build", report.clientBuild},
        {"challenge_id", ToHex(report.challengeId)},
        {"evidence_checked", policy.evidence.has_value()},
    };
  }
  return FromVerdict(verdict, accepted);
}

CommandResult EvidenceDigest(const Json& input) {
  const EvidenceClaim claim = ReadEvidence(input, std::nullopt);
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

bool RunCommand(const std::string& name, const Json& input, CommandResult& result) {
  if (!input.is_object()) throw BadInput("input must be a JSON object");
  if (name == "issue-login-challenge") {
    result = IssueLogin(input);
  } else if (name == "issue-hard-cheat-challenge") {
    result = IssueHardCheat(input);
  } else if (name == "verify-login-proof") {
    result = VerifyLogin(input);
  } else if (name == "verify-hard-cheat-report") {
    result = VerifyReport(input);
  } else if (name == "evidence-digest") {
    result = EvidenceDigest(input);
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
         "  issue-login-challenge        {\"build\"?}\n"
         "  issue-hard-cheat-challenge   {\"build\"?}\n"
         "  verify-login-proof           {\"challenge\", \"login_name\", \"client_build\",\n"
         "                                \"key_kind\", \"machine_digest\", \"public_key\",\n"
         "                                \"signature\", \"known_public_key\"?,\n"
         "                                \"expected_client_build\"?}\n"
         "  verify-hard-cheat-report     {\"report\", \"challenge\" or \"challenges\",\n"
         "                                \"evidence\"?, \"known_public_key\"?,\n"
         "                                \"expected_client_build\"?}\n"
         "  evidence-digest              {\"violation\", \"name\", \"pid\", \"access\"}\n"
         "See README.md for every field.\n";
}

}  // namespace zarnel::serverkit::tool
