#include "verdict_json.h"

namespace zarnel::serverkit::tool {

CommandResult FromVerdict(const Verdict& verdict, const Json& accepted) {
  CommandResult result;
  result.output["ok"] = verdict.ok();
  result.output["check"] = CheckName(verdict.check);
  if (verdict.ok()) {
    for (const auto& [key, value] : accepted.items()) result.output[key] = value;
    result.exitCode = kExitAccepted;
  } else {
    result.output["detail"] = verdict.detail;
    result.exitCode = kExitRejected;
  }
  return result;
}

void AddReportFields(const HardCheatReport& report, bool evidenceChecked, Json& output) {
  output["violation"] = report.violation;
  output["report_id"] = ToHex(report.reportId);
  output["evidence_digest"] = ToHex(report.evidenceDigest);
  output["key_kind"] = report.keyKind;
  output["public_key"] = ToHex(report.publicKey);
  output["client_build"] = report.clientBuild;
  output["challenge_id"] = ToHex(report.challengeId);
  output["evidence_checked"] = evidenceChecked;
}

}  // namespace zarnel::serverkit::tool
