#include "verification_service.h"

#include <cstdio>
#include <exception>
#include <utility>

#include "answer_json.h"
#include "login_name.h"

namespace zarnel::serverkit::service {

namespace {

constexpr int kOk = 200;
constexpr int kBadRequest = 400;
constexpr int kNotFound = 404;
constexpr int kMethodNotAllowed = 405;
constexpr int kTooManyRequests = 429;
constexpr int kInternal = 500;
constexpr int kUnavailable = 503;

// Server-side failures an operator must hear of; store-full and the
// session and caller limits are left out, since a flood would write a line
// per refused call.
bool IsLogged(Check check) {
  return check == Check::kStoreUnavailable || check == Check::kRandomUnavailable ||
         check == Check::kCryptoFailure;
}

enum class Endpoint { kLoginChallenges, kHardCheatChallenges, kLoginProofs, kHardCheatReports,
                      kAcknowledgements };

// A caller over its share (session-limit, caller-limit) is told to slow
// down, 429, apart from the service's own trouble, 503: nothing about a
// proof was judged in either, and both are worth a retry later.
int StatusOf(Check check) {
  if (check == Check::kInternalError) return kInternal;
  if (check == Check::kSessionLimit || check == Check::kCallerLimit) return kTooManyRequests;
  return JudgedNothing(check) ? kUnavailable : kOk;
}

bool FindEndpoint(const std::string& path, Endpoint& endpoint) {
  static const std::pair<const char*, Endpoint> kPaths[] = {
      {"/v1/login-challenges", Endpoint::kLoginChallenges},
      {"/v1/hard-cheat-challenges", Endpoint::kHardCheatChallenges},
      {"/v1/login-proofs", Endpoint::kLoginProofs},
      {"/v1/hard-cheat-reports", Endpoint::kHardCheatReports},
      {"/v1/hard-cheat-acknowledgements", Endpoint::kAcknowledgements},
  };
  for (const auto& [known, which] : kPaths) {
    if (path == known) {
      endpoint = which;
      return true;
    }
  }
  return false;
}

}  // namespace

const char kStoreUnavailableDetail[] =
    "the challenge store did not answer as it should; nothing was judged";
const char kInternalErrorDetail[] = "the service failed on this request; nothing was judged";

void LogToStandardError(const std::string& line) {
  std::fprintf(stderr, "zarnel-verify: %s\n", line.c_str());
}

ServiceReply InternalError() {
  ServiceReply reply;
  reply.status = kInternal;
  reply.body["ok"] = false;
  reply.body["check"] = CheckName(Check::kInternalError);
  reply.body["detail"] = kInternalErrorDetail;
  return reply;
}

ServiceReply BadRequest(int status, const std::string& detail) {
  ServiceReply reply;
  reply.status = status;
  reply.body["ok"] = false;
  reply.body["check"] = "bad-input";
  reply.body["detail"] = detail;
  return reply;
}

VerificationService::VerificationService(ChallengeStore& store, ServicePolicy policy,
                                         std::function<Verdict()> health, ServiceLog log)
    : store_(store), policy_(std::move(policy)), health_(std::move(health)), log_(std::move(log)) {}

ServiceReply VerificationService::Reply(const char* call, const Verdict& verdict,
                                        const Json& accepted) const {
  ServiceReply reply;
  reply.status = StatusOf(verdict.check);
  if (IsLogged(verdict.check)) {
    log_(std::string(call) + ": " + CheckName(verdict.check) + ": " + verdict.detail);
  }
  // Only the store's words can carry its address, Redis's replies or a
  // script's digest: a caller reads a fixed text instead.
  if (verdict.check == Check::kStoreUnavailable) {
    reply.body = VerdictAnswer(Reject(verdict.check, kStoreUnavailableDetail), accepted);
  } else {
    reply.body = VerdictAnswer(verdict, accepted);
  }
  return reply;
}

ServiceReply VerificationService::Handle(const std::string& method, const std::string& path,
                                         std::string_view body, const std::string& caller) const {
  Json request;
  ServiceReply reply = Guarded(method, path, body, caller, request);
  // Also when the body was refused: a readable id still names the call.
  reply.requestId = StringOrEmpty(request, "challenge_id");
  if (reply.requestId.empty()) reply.requestId = StringOrEmpty(request, "report_id");
  if (path == "/v1/hard-cheat-reports") reply.requestSession = StringOrEmpty(request, "session");
  return reply;
}

ServiceReply VerificationService::Guarded(const std::string& method, const std::string& path,
                                          std::string_view body, const std::string& caller,
                                          Json& request) const {
  try {
    return Route(method, path, body, caller, request);
  } catch (const Json::parse_error& error) {
    return BadRequest(kBadRequest, std::string("body is not JSON: ") + error.what());
  } catch (const BadInput& error) {
    return BadRequest(kBadRequest, error.what());
  } catch (const Json::exception& error) {
    return BadRequest(kBadRequest, std::string("body has an unexpected shape: ") + error.what());
  } catch (const std::exception& error) {
    log_(method + " " + path + ": internal-error: " + error.what());
    return InternalError();
  } catch (...) {
    log_(method + " " + path + ": internal-error: an exception of no standard type");
    return InternalError();
  }
}

ServiceReply VerificationService::Route(const std::string& method, const std::string& path,
                                        std::string_view body, const std::string& caller,
                                        Json& request) const {
  if (path == "/healthz") {
    if (method != "GET") return BadRequest(kMethodNotAllowed, "use GET on /healthz");
    ServiceReply reply = Reply("GET /healthz", health_(), Json::object());
    reply.body["store"] = policy_.storeName;
    return reply;
  }
  Endpoint endpoint;
  if (!FindEndpoint(path, endpoint)) return BadRequest(kNotFound, "no such endpoint");
  if (method != "POST") return BadRequest(kMethodNotAllowed, "use POST on " + path);
  request = Json::parse(body);
  if (!request.is_object()) throw BadInput("body must be a JSON object");
  switch (endpoint) {
    case Endpoint::kLoginChallenges:
      return Issue(ReadIssueRequest(request), ChallengeKind::kLogin, caller);
    case Endpoint::kHardCheatChallenges:
      return Issue(ReadIssueRequest(request), ChallengeKind::kHardCheat, caller);
    case Endpoint::kLoginProofs: return Verify(ReadLoginProofRequest(request));
    case Endpoint::kHardCheatReports: return Verify(ReadHardCheatReportRequest(request));
    case Endpoint::kAcknowledgements: return Confirm(ReadAcknowledgementRequest(request));
  }
  return BadRequest(kNotFound, "no such endpoint");
}

ServiceReply VerificationService::Issue(const IssueRequest& request, ChallengeKind kind,
                                        const std::string& caller) const {
  const std::uint32_t newest = policy_.builds.newest;
  Challenge challenge;
  std::uint32_t build = 0;
  // The session is judged first, as the store would.
  Verdict verdict = CheckSession(request.session);
  if (verdict.ok()) verdict = ChooseChallengeBuild(request.build, policy_.builds, build);
  if (verdict.ok()) {
    verdict = kind == ChallengeKind::kLogin
                  ? store_.IssueLoginChallenge(request.session, build, newest, challenge, caller)
                  : store_.IssueHardCheatChallenge(request.session, build, newest, challenge,
                                                   caller);
  }
  const auto ttl = kind == ChallengeKind::kLogin ? store_.options().loginTtl
                                                 : store_.options().hardCheatTtl;
  return Reply(kind == ChallengeKind::kLogin ? "POST /v1/login-challenges"
                                             : "POST /v1/hard-cheat-challenges",
               verdict,
               Json{{"challenge", ChallengeToJson(challenge)}, {"expires_in_ms", ttl.count()}});
}

ServiceReply VerificationService::Verify(const LoginProofRequest& request) const {
  LoginProofPolicy policy = request.policy;
  policy.newestClientBuild = policy_.builds.newest;
  const LoginAnswer& answer = request.answer;
  const Verdict verdict = store_.VerifyLoginProof(request.session, answer, policy);
  return Reply("POST /v1/login-proofs", verdict,
               Json{
                   {"challenge_id", ToHex(answer.challengeId)},
                   {"login_name", FoldLoginName(answer.loginName)},
                   {"client_build", answer.clientBuild},
                   {"key_kind", answer.keyKind},
                   {"machine_digest", ToHex(answer.machineDigest)},
                   {"public_key", ToHex(answer.publicKey)},
               });
}

ServiceReply VerificationService::Verify(const HardCheatReportRequest& request) const {
  HardCheatPolicy policy = request.policy;
  policy.newestClientBuild = policy_.builds.newest;
  // The fields go out whenever the report has its 241 bytes, also when the
  // store refuses before it reads them (an invalid session).
  HardCheatReport report;
  const bool parsed = ParseHardCheatReport(request.report, report).ok();
  const Verdict verdict = store_.VerifyHardCheatReport(request.session, request.report, policy,
                                                       report);
  ServiceReply reply = Reply("POST /v1/hard-cheat-reports", verdict, Json::object());
  if (!parsed) return reply;
  AddReportFields(report, policy.evidence.has_value(), reply.body);
  // What the client hands to the guard: its report id and the verdict. A
  // server-side failure judged nothing, so it gets no acknowledgement.
  if (!JudgedNothing(verdict.check)) {
    reply.body["acknowledgement"] = Json{{"report_id", ToHex(report.reportId)},
                                         {"accepted", verdict.ok() ? 1 : 0}};
  }
  return reply;
}

ServiceReply VerificationService::Confirm(const AcknowledgementRequest& request) const {
  const Verdict verdict = store_.ConfirmAcknowledgementSent(request.session, request.reportId);
  return Reply("POST /v1/hard-cheat-acknowledgements", verdict,
               Json{{"report_id", ToHex(request.reportId)}});
}

}  // namespace zarnel::serverkit::service
