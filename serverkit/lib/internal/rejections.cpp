#include "internal/rejections.h"

#include <string>

#include "challenge_store.h"

namespace zarnel::serverkit {

Verdict StoreFull(ChallengeKind kind, std::size_t maxEntries) {
  return Reject(Check::kStoreFull,
                "the challenge store holds its maximum of " + std::to_string(maxEntries) +
                    (kind == ChallengeKind::kLogin
                         ? " login challenges"
                         : " hard-cheat challenges and report bindings"));
}

Verdict SessionLimit(std::size_t maxOpen) {
  return Reject(Check::kSessionLimit, "the session holds its maximum of " +
                                          std::to_string(maxOpen) +
                                          " open challenges; answer or let one expire first");
}

Verdict CallerLimit(std::size_t maxOpen) {
  return Reject(Check::kCallerLimit, "the caller holds its maximum of " +
                                         std::to_string(maxOpen) + " open challenges");
}

Verdict ChallengeUnknown(const Bytes& id) {
  return Reject(Check::kChallengeUnknown, "no challenge was issued with id " + ToHex(id));
}

Verdict ChallengeUsed() { return Reject(Check::kChallengeUsed, "challenge was already answered"); }

Verdict ChallengeExpired() { return Reject(Check::kChallengeExpired, "challenge has expired"); }

Verdict ChallengeIdWrongLength() {
  return Reject(Check::kWrongLength, "challenge id must be 16 bytes");
}

Verdict RepeatedChallengeId() {
  return Reject(Check::kRandomUnavailable, "the random source repeated a challenge id");
}

Verdict ReportWrongSession(const Bytes& reportId) {
  return Reject(Check::kReportWrongSession,
                "report id " + ToHex(reportId) + " is bound to another session");
}

Verdict ReportUnknown(const Bytes& reportId) {
  return Reject(Check::kReportUnknown, "no verified report has id " + ToHex(reportId));
}

}  // namespace zarnel::serverkit
