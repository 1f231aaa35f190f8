// The verification service's calls, apart from HTTP: a method, a path and
// a body in, a status and one JSON object out. Each body is read into its
// typed request (requests.h) and then verified against the store. The HTTP
// server (and the fuzz target) hand every request here; nothing in it
// throws.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "challenge_store.h"
#include "json_fields.h"
#include "requests.h"

namespace zarnel::serverkit::service {

struct ServicePolicy {
  // A challenge names the client's own build when the backend sends it
  // ("build"), else the oldest accepted; proofs and reports are accepted
  // up to the newest.
  AcceptedBuilds builds;
  std::string storeName = "memory";  // shown by /healthz
};

struct ServiceReply {
  int status = 200;
  Json body;
};

class VerificationService {
 public:
  // `health` answers /healthz for the store (Redis: a PING).
  VerificationService(ChallengeStore& store, ServicePolicy policy,
                      std::function<Verdict()> health = [] { return Accept(); });

  ServiceReply Handle(const std::string& method, const std::string& path,
                      std::string_view body) const;

  ServiceReply Issue(const IssueRequest& request, ChallengeKind kind) const;
  ServiceReply Verify(const LoginProofRequest& request) const;
  ServiceReply Verify(const HardCheatReportRequest& request) const;
  ServiceReply Confirm(const AcknowledgementRequest& request) const;

 private:
  ServiceReply Route(const std::string& method, const std::string& path,
                     std::string_view body) const;

  ChallengeStore& store_;
  const ServicePolicy policy_;
  const std::function<Verdict()> health_;
};

// The body of a request no handler would take: "bad-input" with `detail`.
ServiceReply BadRequest(int status, const std::string& detail);

}  // namespace zarnel::serverkit::service
