#include "request_record.h"

#include "json_fields.h"

namespace zarnel::serverkit::service {

std::string EndpointLabel(std::string_view path) {
  static const char* const kKnown[] = {
      "/v1/login-challenges", "/v1/hard-cheat-challenges", "/v1/login-proofs",
      "/v1/hard-cheat-reports", "/v1/hard-cheat-acknowledgements",
      "/healthz", "/livez", "/readyz", "/metrics",
  };
  for (const char* known : kKnown) {
    if (path == known) return known;
  }
  return "other";
}

void ReadReply(const Json& answer, const std::string& requestId,
               const std::string& requestSession, RequestRecord& record) {
  if (!answer.is_object()) return;
  record.check = StringOrEmpty(answer, "check");
  record.repeat = answer.value("repeat", false);
  const auto challenge = answer.find("challenge");
  if (challenge != answer.end()) {
    record.id = StringOrEmpty(*challenge, "id");
  } else if (!StringOrEmpty(answer, "report_id").empty()) {
    record.id = StringOrEmpty(answer, "report_id");
  } else {
    record.id = requestId;
  }
  // Only an id of hex digits goes to the log: it came from a caller.
  if (record.id.size() > 64 || record.id.find_first_not_of("0123456789abcdefABCDEF") !=
                                   std::string::npos) {
    record.id.clear();
  }
  const auto acknowledgement = answer.find("acknowledgement");
  if (record.endpoint == "/v1/hard-cheat-reports" && acknowledgement != answer.end()) {
    JudgedReport report;
    report.reportId = record.id;
    report.violation = answer.value("violation", 0u);
    report.session = requestSession;
    report.verdict = record.check;
    record.report = std::move(report);
  }
}

}  // namespace zarnel::serverkit::service
