#include "verification_service.h"

#include <new>
#include <utility>

#include "login_name.h"
#include "verdict_json.h"

namespace zarnel::serverkit::tool {

namespace {

constexpr int kOk = 200;
constexpr int kBadRequest = 400;
constexpr int kNotFound = 404;
constexpr int kMethodNotAllowed = 405;
constexpr int kUnavailable = 503;

// Rejections that say nothing about the record: the server could not judge
// it, so the backend should retry rather than act on the answer.
bool IsServerSide(Check check) {
  return check == Check::kStoreFull || check == Check::kStoreUnavailable ||
         check == Check::kRandomUnavailable || check == Check::kCryptoFailure;
}

ServiceReply FromVerdictReply(const Verdict& verdict, const Json& accepted) {
  ServiceReply reply;
  reply.body = FromVerdict(verdict, accepted).output;
  reply.status = IsServerSide(verdict.check) ? kUnavailable : kOk;
  return reply;
}

std::string RequireSession(const Json& request) { return RequireString(request, "session"); }

}  // namespace

ServiceReply BadRequest(int status, const std::string& detail) {
  ServiceReply reply;
  reply.status = status;
  reply.body["ok"] = false;
  reply.body["check"] = "bad-input";
  reply.body["detail"] = detail;
  return reply;
}

VerificationService::VerificationService(ChallengeStore& store, ServicePolicy policy,
                                         std::function<Verdict()> health)
    : store_(store), policy_(std::move(policy)), health_(std::move(health)) {}

ServiceReply VerificationService::Handle(const std::string& method, const std::string& path,
                                         std::string_view body) const {
  try {
    return Route(method, path, body);
  } catch (const Json::parse_error& error) {
    return BadRequest(kBadRequest, std::string("body is not JSON: ") + error.what());
  } catch (const BadInput& error) {
    return BadRequest(kBadRequest, error.what());
  } catch (const Json::exception& error) {
    return BadRequest(kBadRequest, std::string("body has an unexpected shape: ") + error.what());
  } catch (const std::bad_alloc&) {
    return BadRequest(kUnavailable, "the request needs more memory than is available");
  }
}

ServiceReply VerificationService::Route(const std::string& method, const std::string& path,
                                        std::string_view body) const {
  if (path == "/healthz") {
    if (method != "GET") return BadRequest(kMethodNotAllowed, "use GET on /healthz");
    ServiceReply reply = FromVerdictReply(health_(), Json::object());
    reply.body["store"] = policy_.storeName;
    return reply;
  }
  using Handler = ServiceReply (VerificationService::*)(const Json&) const;
  struct Endpoint {
    const char* path;
    Handler handler;
  };
  static const Endpoint kEndpoints[] = {
      {"/v1/login-proofs", &VerificationService::VerifyLoginProof},
      {"/v1/hard-cheat-reports", &VerificationService::VerifyHardCheatReport},
      {"/v1/hard-cheat-acknowledgements", &VerificationService::ConfirmAcknowledgement},
  };
  const bool loginChallenge = path == "/v1/login-challenges";
  const bool hardCheatChallenge = path == "/v1/hard-cheat-challenges";
  Handler handler = nullptr;
  for (const Endpoint& endpoint : kEndpoints) {
    if (path == endpoint.path) handler = endpoint.handler;
  }
  if (!loginChallenge && !hardCheatChallenge && handler == nullptr) {
    return BadRequest(kNotFound, "no such endpoint");
  }
  if (method != "POST") return BadRequest(kMethodNotAllowed, "use POST on " + path);
  const Json request = Json::parse(body);
  if (!request.is_object()) throw BadInput("body must be a JSON object");
  if (loginChallenge) return IssueChallenge(request, ChallengeKind::kLogin);
  if (hardCheatChallenge) return IssueChallenge(request, ChallengeKind::kHardCheat);
  return (this->*handler)(request);
}

ServiceReply VerificationService::IssueChallenge(const Json& request, ChallengeKind kind) const {
  const std::string session = RequireSession(request);
  const std::uint32_t build = OptionalU32(request, "build").value_or(policy_.newestClientBuild);
  Challenge challenge;
  const Verdict verdict =
      kind == ChallengeKind::kLogin
          ? store_.IssueLoginChallenge(session, build, policy_.newestClientBuild, challenge)
          : store_.IssueHardCheatChallenge(session, build, policy_.newestClientBuild, challenge);
  const auto ttl = kind == ChallengeKind::kLogin ? store_.options().loginTtl
                                                 : store_.options().hardCheatTtl;
  return FromVerdictReply(verdict, Json{{"challenge", ChallengeToJson(challenge)},
                                        {"expires_in_ms", ttl.count()}});
}

ServiceReply VerificationService::VerifyLoginProof(const Json& request) const {
  const std::string session = RequireSession(request);
  LoginAnswer answer;
  answer.challengeId = RequireHex(request, "challenge_id");
  ReadLoginProofFields(request, answer);
  LoginProofPolicy policy;
  policy.knownPublicKeys = ReadEnrolledKeys(request);
  policy.expectedClientBuild = OptionalU32(request, "expected_client_build");
  policy.newestClientBuild = policy_.newestClientBuild;

  const Verdict verdict = store_.VerifyLoginProof(session, answer, policy);
  return FromVerdictReply(verdict, Json{
                                       {"challenge_id", ToHex(answer.challengeId)},
                                       {"login_name", FoldLoginName(answer.loginName)},
                                       {"client_build", answer.clientBuild},
                                       {"key_kind", answer.keyKind},
                                       {"machine_digest", ToHex(answer.machineDigest)},
                                       {"public_key", ToHex(answer.publicKey)},
                                   });
}

ServiceReply VerificationService::VerifyHardCheatReport(const Json& request) const {
  const std::string session = RequireSession(request);
  const Bytes bytes = RequireHex(request, "report");
  HardCheatPolicy policy;
  policy.knownPublicKeys = ReadEnrolledKeys(request);
  policy.expectedClientBuild = OptionalU32(request, "expected_client_build");
  policy.newestClientBuild = policy_.newestClientBuild;
  HardCheatReport report;
  const bool parsed = ParseHardCheatReport(bytes, report).ok();
  if (request.contains("evidence")) {
    policy.evidence = ReadEvidence(RequireObject(request, "evidence"), report.violation);
  }

  const Verdict verdict = store_.VerifyHardCheatReport(session, bytes, policy, report);
  ServiceReply reply = FromVerdictReply(verdict, Json::object());
  if (!parsed) return reply;
  AddReportFields(report, policy.evidence.has_value(), reply.body);
  // What the client hands to the guard: its report id and the verdict. A
  // server-side failure judged nothing, so it gets no acknowledgement.
  if (!IsServerSide(verdict.check)) {
    reply.body["acknowledgement"] = Json{{"report_id", ToHex(report.reportId)},
                                         {"accepted", verdict.ok() ? 1 : 0}};
  }
  return reply;
}

ServiceReply VerificationService::ConfirmAcknowledgement(const Json& request) const {
  const std::string session = RequireSession(request);
  const Bytes reportId = RequireHex(request, "report_id");
  const Verdict verdict = store_.ConfirmAcknowledgementSent(session, reportId);
  return FromVerdictReply(verdict, Json{{"report_id", ToHex(reportId)}});
}

}  // namespace zarnel::serverkit::tool
