#include "answer_json.h"

namespace zarnel::serverkit::service {

Json VerdictAnswer(const Verdict& verdict, const Json& accepted) {
  Json answer;
  answer["ok"] = verdict.ok();
  answer["check"] = CheckName(verdict.check);
  if (verdict.ok()) {
    if (verdict.repeat) answer["repeat"] = true;
    for (const auto& [key, value] : accepted.items()) answer[key] = value;
  } else {
    answer["detail"] = verdict.detail;
  }
  if (!verdict.ok() && verdict.repeat) answer["repeat"] = true;
  return answer;
}

void AddReportFields(const HardCheatReport& report, bool evidenceChecked, Json& answer) {
  answer["violation"] = report.violation;
  answer["report_id"] = ToHex(report.reportId);
  answer["evidence_digest"] = ToHex(report.evidenceDigest);
  answer["key_kind"] = report.keyKind;
  answer["public_key"] = ToHex(report.publicKey);
  answer["client_build"] = report.clientBuild;
  answer["challenge_id"] = ToHex(report.challengeId);
  answer["evidence_checked"] = evidenceChecked;
}

}  // namespace zarnel::serverkit::service
