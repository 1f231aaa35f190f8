#include "challenge_store.h"

#include <algorithm>
#include <utility>

#include "internal/crypto_failure.h"
#include "internal/rejections.h"
#include "sha256.h"

namespace zarnel::serverkit {

namespace {

std::uint16_t VersionOf(ChallengeKind kind) {
  return kind == ChallengeKind::kLogin ? kLoginChallengeVersion : kHardCheatChallengeVersion;
}

void AppendField(Bytes& out, const std::string& text) {
  AppendU32Be(out, static_cast<std::uint32_t>(text.size()));
  AppendAscii(out, text);
}

void AppendField(Bytes& out, const Bytes& bytes) {
  AppendU32Be(out, static_cast<std::uint32_t>(bytes.size()));
  AppendBytes(out, bytes);
}

// What makes an answer the same answer: its kind, its session and every
// byte it carries, each with its length so that no two answers run
// together into one text.
bool LoginFingerprint(const std::string& session, const LoginAnswer& answer, Bytes& out) {
  Bytes text;
  AppendU8(text, static_cast<std::uint8_t>(ChallengeKind::kLogin));
  AppendField(text, session);
  AppendField(text, answer.challengeId);
  AppendField(text, answer.loginName);
  AppendU32Be(text, answer.clientBuild);
  AppendU32Be(text, answer.keyKind);
  AppendField(text, answer.machineDigest);
  AppendField(text, answer.publicKey);
  AppendField(text, answer.signature);
  return Sha256(text.data(), text.size(), out);
}

bool ReportFingerprint(const std::string& session, const Bytes& report, Bytes& out) {
  Bytes text;
  AppendU8(text, static_cast<std::uint8_t>(ChallengeKind::kHardCheat));
  AppendField(text, session);
  AppendField(text, report);
  return Sha256(text.data(), text.size(), out);
}

// Checked after the take: an answer aimed at the wrong session or kind
// burns the challenge, so that it cannot be retried elsewhere.
Verdict CheckTakenFor(ChallengeKind kind, const std::string& session,
                      const StoredChallenge& entry) {
  if (entry.kind != kind) {
    return Reject(Check::kChallengeWrongKind, std::string("challenge was issued as a ") +
                                                  ChallengeKindName(entry.kind) + " challenge");
  }
  if (entry.session != session) {
    return Reject(Check::kChallengeWrongSession, "challenge was issued to another session");
  }
  return Accept();
}

Verdict AsRepeat(Verdict verdict) {
  verdict.repeat = true;
  return verdict;
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

std::size_t MaxEntriesOf(const ChallengeStoreOptions& options, ChallengeKind kind) {
  const std::size_t total = options.maxEntries;
  const std::size_t share = options.hardCheatSharePercent;
  // Split without overflow: total * share / 100, rounded down.
  std::size_t hardCheat = total / 100 * share + total % 100 * share / 100;
  if (total >= 2) {
    hardCheat = std::clamp<std::size_t>(hardCheat, 1, total - 1);
  } else {
    hardCheat = std::min(hardCheat, total);
  }
  return kind == ChallengeKind::kHardCheat ? hardCheat : total - hardCheat;
}

ChallengeStore::ChallengeStore(const ChallengeStoreOptions& options) : options_(options) {}

Verdict ChallengeStore::Issue(ChallengeKind kind, const std::string& session,
                              const std::string& caller, std::uint32_t build,
                              std::uint32_t newestBuild, Challenge& out) {
  out = Challenge{};
  Verdict verdict = CheckSession(session);
  if (!verdict.ok()) return verdict;
  StoredChallenge entry;
  entry.kind = kind;
  entry.session = session;
  verdict = IssueChallenge(VersionOf(kind), build, newestBuild, entry.challenge);
  if (!verdict.ok()) return verdict;
  verdict = Put(entry, caller,
                kind == ChallengeKind::kLogin ? options_.loginTtl : options_.hardCheatTtl);
  if (!verdict.ok()) return verdict;
  out = std::move(entry.challenge);
  return Accept();
}

Verdict ChallengeStore::IssueLoginChallenge(const std::string& session, std::uint32_t build,
                                            std::uint32_t newestBuild, Challenge& out,
                                            const std::string& caller) {
  return Issue(ChallengeKind::kLogin, session, caller, build, newestBuild, out);
}

Verdict ChallengeStore::IssueHardCheatChallenge(const std::string& session,
                                                std::uint32_t build, std::uint32_t newestBuild,
                                                Challenge& out, const std::string& caller) {
  return Issue(ChallengeKind::kHardCheat, session, caller, build, newestBuild, out);
}

Verdict ChallengeStore::Keep(const Bytes& id, const Bytes& fingerprint, Verdict verdict,
                             bool repeat) {
  verdict.repeat = false;
  if (!JudgedNothing(verdict.check)) KeepVerdict(id, fingerprint, verdict);
  verdict.repeat = repeat;
  return verdict;
}

Verdict ChallengeStore::VerifyLoginProof(const std::string& session, const LoginAnswer& answer,
                                         const LoginProofPolicy& policy) {
  Verdict verdict = CheckSession(session);
  if (!verdict.ok()) return verdict;
  if (answer.challengeId.size() != kChallengeIdSize) return ChallengeIdWrongLength();
  Bytes fingerprint;
  if (!LoginFingerprint(session, answer, fingerprint)) return CryptoFailure("SHA-256 failed");
  TakenChallenge taken;
  verdict = Take(answer.challengeId, fingerprint, taken);
  if (!verdict.ok()) return verdict;
  if (taken.verdict) return AsRepeat(*taken.verdict);

  verdict = CheckTakenFor(ChallengeKind::kLogin, session, taken.stored);
  if (verdict.ok()) {
    LoginProof proof;
    proof.challenge = std::move(taken.stored.challenge);
    proof.loginName = answer.loginName;
    proof.clientBuild = answer.clientBuild;
    proof.keyKind = answer.keyKind;
    proof.machineDigest = answer.machineDigest;
    proof.publicKey = answer.publicKey;
    proof.signature = answer.signature;
    verdict = serverkit::VerifyLoginProof(proof, policy);
  }
  return Keep(answer.challengeId, fingerprint, std::move(verdict), taken.repeat);
}

Verdict ChallengeStore::VerifyHardCheatReport(const std::string& session, const Bytes& bytes,
                                              const HardCheatPolicy& policy,
                                              HardCheatReport& report) {
  Verdict verdict = CheckSession(session);
  if (!verdict.ok()) return verdict;
  verdict = ParseHardCheatReport(bytes, report);
  if (!verdict.ok()) return verdict;
  Bytes fingerprint;
  if (!ReportFingerprint(session, bytes, fingerprint)) return CryptoFailure("SHA-256 failed");
  TakenChallenge taken;
  verdict = Take(report.challengeId, fingerprint, taken);
  if (!verdict.ok()) return verdict;
  if (taken.verdict) return AsRepeat(*taken.verdict);

  verdict = CheckTakenFor(ChallengeKind::kHardCheat, session, taken.stored);
  if (verdict.ok()) {
    verdict = serverkit::VerifyHardCheatReport(bytes, {taken.stored.challenge}, policy, report);
  }
  // A binding refused for room (store-full) judged nothing: the retry of
  // this report takes the challenge again as its own and binds then.
  if (verdict.ok()) verdict = BindReport(report.reportId, session, options_.reportBindingTtl);
  return Keep(report.challengeId, fingerprint, std::move(verdict), taken.repeat);
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
