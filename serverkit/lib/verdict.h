// The outcome of every check the kit makes. A rejection always names the
// one check that failed so that operators and the end-to-end tests can tell
// a forged proof from a stale challenge or a malformed upload.
#pragma once

#include <ostream>
#include <string>
#include <utility>

namespace zarnel::serverkit {

enum class Check {
  kOk,
  kWrongLength,
  kBadChallengeVersion,
  kChallengeBuildOutOfRange,
  kZeroChallengeId,
  kZeroChallengeNonce,
  kLoginNameLength,
  kLoginNameCharacter,
  kClientBuildOutOfRange,
  kClientBuildMismatch,
  kKeyKindInvalid,
  kZeroMachineDigest,
  kBadKeyMagic,
  kBadKeyLength,
  kPointNotOnCurve,
  kSignatureOutOfRange,
  kSignatureMismatch,
  kUnknownDeviceKey,
  kBadReportVersion,
  kReservedNotZero,
  kViolationOutOfRange,
  kZeroReportId,
  kChallengeMismatch,
  kNonceMismatch,
  kEvidenceInvalid,
  kEvidenceMismatch,
  kRandomUnavailable,
  kCryptoFailure,
  // The challenge store's lifecycle.
  kSessionInvalid,
  kChallengeUnknown,
  kChallengeUsed,
  kChallengeExpired,
  kChallengeWrongKind,
  kChallengeWrongSession,
  kReportWrongSession,
  kReportUnknown,
  // Issuing refused for the asker's share: the session, or the service's
  // caller, already holds its maximum of open challenges.
  kSessionLimit,
  kCallerLimit,
  kStoreFull,
  kStoreUnavailable,
  // The service failed on a request for a reason of its own (an exception);
  // nothing was judged. Stays last: CheckFromName walks the values up to it.
  kInternalError,
};

// Stable kebab-case name, used as the "check" field of the tool's output.
const char* CheckName(Check check);

// The check named `name`; false for a name no check has.
bool CheckFromName(const std::string& name, Check& check);

// Rejections that say nothing about the record: the server could not judge
// it (store-full, store-unavailable, random-unavailable, crypto-failure,
// internal-error) or would not issue for now (session-limit,
// caller-limit), so the caller should retry rather than act on it.
bool JudgedNothing(Check check);

inline std::ostream& operator<<(std::ostream& out, Check check) {
  return out << CheckName(check);
}

struct Verdict {
  Check check = Check::kOk;
  std::string detail;
  // The same answer was judged before (a retried call): this is the
  // verdict it got then, not a second acceptance.
  bool repeat = false;

  bool ok() const { return check == Check::kOk; }
};

inline Verdict Accept() { return Verdict{}; }
inline Verdict Reject(Check check, std::string detail) {
  return Verdict{check, std::move(detail), false};
}

}  // namespace zarnel::serverkit
