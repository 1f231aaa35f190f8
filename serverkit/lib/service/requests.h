// The service's requests as typed values: each body is read whole, here,
// before anything is verified, and the verifier takes the value as it is.
// A body that cannot be read is BadInput (json_fields.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bytes.h"
#include "challenge_store.h"
#include "hard_cheat_report.h"
#include "json_fields.h"
#include "login_proof.h"

namespace zarnel::serverkit::service {

// POST /v1/login-challenges, /v1/hard-cheat-challenges.
struct IssueRequest {
  std::string session;
  // The client's own build, when the backend knows it.
  std::optional<std::uint32_t> build;
};

// POST /v1/login-proofs. The policy holds what the request may say (the
// enrolled keys, a pinned build); the service adds its own limits.
struct LoginProofRequest {
  std::string session;
  LoginAnswer answer;
  LoginProofPolicy policy;
};

// POST /v1/hard-cheat-reports.
struct HardCheatReportRequest {
  std::string session;
  Bytes report;
  HardCheatPolicy policy;
};

// POST /v1/hard-cheat-acknowledgements.
struct AcknowledgementRequest {
  std::string session;
  Bytes reportId;
};

IssueRequest ReadIssueRequest(const Json& body);
LoginProofRequest ReadLoginProofRequest(const Json& body);
HardCheatReportRequest ReadHardCheatReportRequest(const Json& body);
AcknowledgementRequest ReadAcknowledgementRequest(const Json& body);

// "evidence" of a hard-cheat report, when the request holds one: the claim
// goes into `policy`, with the report's own violation standing in for a
// missing one.
void ReadReportEvidence(const Json& request, HardCheatPolicy& policy);

}  // namespace zarnel::serverkit::service
