#include "verdict.h"

namespace zarnel::serverkit {

const char* CheckName(Check check) {
  switch (check) {
    case Check::kOk: return "ok";
    case Check::kWrongLength: return "wrong-length";
    case Check::kBadChallengeVersion: return "bad-challenge-version";
    case Check::kChallengeBuildOutOfRange: return "challenge-build-out-of-range";
    case Check::kZeroChallengeId: return "zero-challenge-id";
    case Check::kZeroChallengeNonce: return "zero-challenge-nonce";
    case Check::kLoginNameLength: return "login-name-length";
    case Check::kLoginNameCharacter: return "login-name-character";
    case Check::kClientBuildOutOfRange: return "client-build-out-of-range";
    case Check::kClientBuildMismatch: return "client-build-mismatch";
    case Check::kKeyKindInvalid: return "key-kind-invalid";
    case Check::kZeroMachineDigest: return "zero-machine-digest";
    case Check::kBadKeyMagic: return "bad-key-magic";
    case Check::kBadKeyLength: return "bad-key-length";
    case Check::kPointNotOnCurve: return "point-not-on-curve";
    case Check::kSignatureOutOfRange: return "signature-out-of-range";
    case Check::kSignatureMismatch: return "signature-mismatch";
    case Check::kUnknownDeviceKey: return "unknown-device-key";
    case Check::kBadReportVersion: return "bad-report-version";
    case Check::kReservedNotZero: return "reserved-not-zero";
    case Check::kViolationOutOfRange: return "violation-out-of-range";
    case Check::kZeroReportId: return "zero-report-id";
    case Check::kChallengeMismatch: return "challenge-mismatch";
    case Check::kNonceMismatch: return "nonce-mismatch";
    case Check::kEvidenceInvalid: return "evidence-invalid";
    case Check::kEvidenceMismatch: return "evidence-mismatch";
    case Check::kRandomUnavailable: return "random-unavailable";
    case Check::kCryptoFailure: return "crypto-failure";
    case Check::kSessionInvalid: return "session-invalid";
    case Check::kChallengeUnknown: return "challenge-unknown";
    case Check::kChallengeUsed: return "challenge-used";
    case Check::kChallengeExpired: return "challenge-expired";
    case Check::kChallengeWrongKind: return "challenge-wrong-kind";
    case Check::kChallengeWrongSession: return "challenge-wrong-session";
    case Check::kReportWrongSession: return "report-wrong-session";
    case Check::kReportUnknown: return "report-unknown";
    case Check::kSessionLimit: return "session-limit";
    case Check::kCallerLimit: return "caller-limit";
    case Check::kStoreFull: return "store-full";
    case Check::kStoreUnavailable: return "store-unavailable";
    case Check::kInternalError: return "internal-error";
  }
  return "unknown-check";
}

bool CheckFromName(const std::string& name, Check& check) {
  for (int value = 0; value <= static_cast<int>(Check::kInternalError); ++value) {
    if (name == CheckName(static_cast<Check>(value))) {
      check = static_cast<Check>(value);
      return true;
    }
  }
  return false;
}

bool JudgedNothing(Check check) {
  return check == Check::kSessionLimit || check == Check::kCallerLimit ||
         check == Check::kStoreFull || check == Check::kStoreUnavailable ||
         check == Check::kRandomUnavailable || check == Check::kCryptoFailure ||
         check == Check::kInternalError;
}

}  // namespace zarnel::serverkit
