#include "requests.h"

namespace zarnel::serverkit::service {

namespace {

std::string RequireSession(const Json& body) { return RequireString(body, "session"); }

}  // namespace

void ReadReportEvidence(const Json& request, HardCheatPolicy& policy) {
  if (!request.contains("evidence")) return;
  bool violationGiven = false;
  policy.evidence = ReadEvidence(RequireObject(request, "evidence"), true, violationGiven);
  policy.evidenceViolationFromReport = !violationGiven;
}

IssueRequest ReadIssueRequest(const Json& body) {
  IssueRequest request;
  request.session = RequireSession(body);
  request.build = OptionalU32(body, "build");
  return request;
}

LoginProofRequest ReadLoginProofRequest(const Json& body) {
  LoginProofRequest request;
  request.session = RequireSession(body);
  request.answer.challengeId = RequireHex(body, "challenge_id");
  ReadLoginProofFields(body, request.answer);
  request.policy.knownPublicKeys = ReadEnrolledKeys(body);
  request.policy.expectedClientBuild = OptionalU32(body, "expected_client_build");
  return request;
}

HardCheatReportRequest ReadHardCheatReportRequest(const Json& body) {
  HardCheatReportRequest request;
  request.session = RequireSession(body);
  request.report = RequireHex(body, "report");
  request.policy.knownPublicKeys = ReadEnrolledKeys(body);
  request.policy.expectedClientBuild = OptionalU32(body, "expected_client_build");
  ReadReportEvidence(body, request.policy);
  return request;
}

AcknowledgementRequest ReadAcknowledgementRequest(const Json& body) {
  AcknowledgementRequest request;
  request.session = RequireSession(body);
  request.reportId = RequireHex(body, "report_id");
  return request;
}

}  // namespace zarnel::serverkit::service
