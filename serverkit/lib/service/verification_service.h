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
  // What the request named, for the log and never sent: its
  // "challenge_id" or "report_id", and a hard-cheat report's session.
  std::string requestId;
  std::string requestSession;
};

// Where the service writes what it keeps from its callers: the full reason
// behind a generic detail (the store's address, Redis's own words, an
// exception's text). One line per call, without a newline.
using ServiceLog = std::function<void(const std::string& line)>;

// Writes each line to standard error, whole.
void LogToStandardError(const std::string& line);

// What a caller reads instead of the store's or an exception's own words.
extern const char kStoreUnavailableDetail[];
extern const char kInternalErrorDetail[];

class VerificationService {
 public:
  // `health` answers /healthz for the store (Redis: a PING).
  VerificationService(ChallengeStore& store, ServicePolicy policy,
                      std::function<Verdict()> health = [] { return Accept(); },
                      ServiceLog log = LogToStandardError);

  // `caller` names who sent the request: the authenticated identity (a
  // token's name, a client certificate's subject) or, without
  // authentication, the peer's address. Issuing counts open challenges by
  // it (ChallengeStoreOptions::maxOpenPerCaller: caller-limit, HTTP 429);
  // an empty one is counted as one shared caller.
  ServiceReply Handle(const std::string& method, const std::string& path,
                      std::string_view body, const std::string& caller = std::string()) const;

  ServiceReply Issue(const IssueRequest& request, ChallengeKind kind,
                     const std::string& caller = std::string()) const;
  ServiceReply Verify(const LoginProofRequest& request) const;
  ServiceReply Verify(const HardCheatReportRequest& request) const;
  ServiceReply Confirm(const AcknowledgementRequest& request) const;

 private:
  ServiceReply Guarded(const std::string& method, const std::string& path,
                       std::string_view body, const std::string& caller, Json& request) const;
  // `request` is the body once it parsed.
  ServiceReply Route(const std::string& method, const std::string& path,
                     std::string_view body, const std::string& caller, Json& request) const;
  // The reply to a verdict; what a caller must not read goes to the log.
  ServiceReply Reply(const char* call, const Verdict& verdict, const Json& accepted) const;

  ChallengeStore& store_;
  const ServicePolicy policy_;
  const std::function<Verdict()> health_;
  const ServiceLog log_;
};

// The body of a request no handler would take: "bad-input" with `detail`.
ServiceReply BadRequest(int status, const std::string& detail);

// HTTP 500, "internal-error" with the generic detail.
ServiceReply InternalError();

}  // namespace zarnel::serverkit::service
