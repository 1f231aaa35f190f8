#include "challenge_store.h"

#include <utility>

#include "internal/rejections.h"

namespace zarnel::serverkit {

namespace {

std::uint16_t VersionOf(ChallengeKind kind) {
  return kind == ChallengeKind::kLogin ? kLoginChallengeVersion : kHardCheatChallengeVersion;
}

}  // namespace

const char* ChallengeKindName(ChallengeKind kind) {
  return kind == ChallengeKind::kLogin ? "login" : "hard-cheat";
}

Verdict CheckSession(const std::string& session) {
  if (session.empty() || session.size() > kMaxSessionSize) {
    return Reject(Check::kSessionInvalid,
                  "session must be 1 to " + std::to_string(kMaxSessionSize) + " bytes");
  }
  return Accept();
}

ChallengeStore::ChallengeStore(const ChallengeStoreOptions& options) : options_(options) {}

Verdict ChallengeStore::Issue(ChallengeKind kind, const std::string& session,
                              std::uint32_t build, std::uint32_t newestBuild, Challenge& out) {
  out = Challenge{};
  Verdict verdict = CheckSession(session);
  if (!verdict.ok()) return verdict;
  StoredChallenge entry;
  entry.kind = kind;
  entry.session = session;
  verdict = IssueChallenge(VersionOf(kind), build, newestBuild, entry.challenge);
  if (!verdict.ok()) return verdict;
  verdict = Put(entry, kind == ChallengeKind::kLogin ? options_.loginTtl : options_.hardCheatTtl);
  if (!verdict.ok()) return verdict;
  out = std::move(entry.challenge);
  return Accept();
}

Verdict ChallengeStore::IssueLoginChallenge(const std::string& session, std::uint32_t build,
                                            std::uint32_t newestBuild, Challenge& out) {
  return Issue(ChallengeKind::kLogin, session, build, newestBuild, out);
}

Verdict ChallengeStore::IssueHardCheatChallenge(const std::string& session,
                                                std::uint32_t build, std::uint32_t newestBuild,
                                                Challenge& out) {
  return Issue(ChallengeKind::kHardCheat, session, build, newestBuild, out);
}

Verdict ChallengeStore::TakeFor(ChallengeKind kind, const std::string& session, const Bytes& id,
                                Challenge& out) {
  Verdict verdict = CheckSession(session);
  if (!verdict.ok()) return verdict;
  if (id.size() != kChallengeIdSize) {
    return ChallengeIdWrongLength();
  }
  StoredChallenge entry;
  verdict = Take(id, entry);
  if (!verdict.ok()) return verdict;
  // Taken before these checks: an answer aimed at the wrong session or kind
  // burns the challenge, so that it cannot be retried elsewhere.
  if (entry.kind != kind) {
    return Reject(Check::kChallengeWrongKind, std::string("challenge was issued as a ") +
                                                  ChallengeKindName(entry.kind) + " challenge");
  }
  if (entry.session != session) {
    return Reject(Check::kChallengeWrongSession, "challenge was issued to another session");
  }
  out = std::move(entry.challenge);
  return Accept();
}

Verdict ChallengeStore::VerifyLoginProof(const std::string& session, const LoginAnswer& answer,
                                         const LoginProofPolicy& policy) {
  LoginProof proof;
  Verdict verdict = TakeFor(ChallengeKind::kLogin, session, answer.challengeId, proof.challenge);
  if (!verdict.ok()) return verdict;
  proof.loginName = answer.loginName;
  proof.clientBuild = answer.clientBuild;
  proof.keyKind = answer.keyKind;
  proof.machineDigest = answer.machineDigest;
  proof.publicKey = answer.publicKey;
  proof.signature = answer.signature;
  return serverkit::VerifyLoginProof(proof, policy);
}

Verdict ChallengeStore::VerifyHardCheatReport(const std::string& session, const Bytes& bytes,
                                              const HardCheatPolicy& policy,
                                              HardCheatReport& report) {
  Verdict verdict = CheckSession(session);
  if (!verdict.ok()) return verdict;
  verdict = ParseHardCheatReport(bytes, report);
  if (!verdict.ok()) return verdict;
  Challenge challenge;
  verdict = TakeFor(ChallengeKind::kHardCheat, session, report.challengeId, challenge);
  if (!verdict.ok()) return verdict;
  verdict = serverkit::VerifyHardCheatReport(bytes, {challenge}, policy, report);
  if (!verdict.ok()) return verdict;
  return BindReport(report.reportId, session, options_.reportBindingTtl);
}

Verdict ChallengeStore::ConfirmAcknowledgementSent(const std::string& session,
                                                   const Bytes& reportId) {
  Verdict verdict = CheckSession(session);
  if (!verdict.ok()) return verdict;
  if (reportId.size() != kReportIdSize) {
    return Reject(Check::kWrongLength, "report id must be 16 bytes");
  }
  return ReleaseReport(reportId, session);
}

}  // namespace zarnel::serverkit
