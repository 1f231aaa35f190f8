// The four exports of the hard-cheat exchange. The server drives it: a
// challenge in, the signed report out, the verdict in; the guard then ends
// the client with the message recorded with the detection.
#include <windows.h>

#include "ZarnelGuard.h"
#include "checks/fatal_exit.h"
#include "core/startup_sequence.h"
#include "state/guard_state.h"
#include "proofs/hard_cheat_protocol.h"
#include "proofs/hard_cheat_texts.h"
#include "platform/bounded_text.h"

namespace {
constexpr uint16_t kHardCheatChallengeVersion = 1;

bool IsValidChallenge(uint16_t challengeVersion, uint32_t challengeBuild, const uint8_t* challengeId,
                      const uint8_t* challengeNonce) {
  return challengeVersion == kHardCheatChallengeVersion && challengeBuild >= 1 &&
         challengeBuild <= static_cast<uint32_t>(kClientBuild) && challengeId &&
         !IsAllZeroBytes(challengeId, kHardCheatIdSize) && challengeNonce &&
         !IsAllZeroBytes(challengeNonce, kHardCheatNonceSize);
}

void ForgetChallenge(HardCheatState& state) {
  state.challengePresent = 0;
  state.reportReady = 0;
  state.challengeBuild = 0;
  SecureZeroMemory(state.challengeId, sizeof(state.challengeId));
  SecureZeroMemory(state.challengeNonce, sizeof(state.challengeNonce));
  SecureZeroMemory(state.report, sizeof(state.report));
}

}  // namespace

extern "C" uint32_t ZARNELGUARD_API ZarnelGuardSetHardCheatChallenge(uint16_t challengeVersion, uint32_t challengeBuild,
                                                                    const uint8_t* challengeId,
                                                                    const uint8_t* challengeNonce) {
  if (!InitOnceExecuteOnce(&guard.startupOnce, RunStartupSequence, nullptr, nullptr)) return 0;
  if (!IsValidChallenge(challengeVersion, challengeBuild, challengeId, challengeNonce)) {
    SetLastErrorText(L"ZarnelGuard rejected an invalid hard-cheat challenge.");
    return 0;
  }
  AcquireSRWLockExclusive(&guard.hardCheatLock);
  HardCheatState& state = guard.hardCheat;
  // A new challenge always replaces the held one, with its report.
  ForgetChallenge(state);
  state.challengeBuild = challengeBuild;
  CopyMemory(state.challengeId, challengeId, kHardCheatIdSize);
  CopyMemory(state.challengeNonce, challengeNonce, kHardCheatNonceSize);
  state.challengePresent = 1;
  bool held = true;
  if (state.detectionConfirmed) {
    // The deadline runs from the first moment a challenge met the detection;
    // a later challenge must not buy the client more time.
    if (state.ackClockStart == 0) state.ackClockStart = ReadAcknowledgementClock();
    held = BuildHardCheatReport();
  }
  ReleaseSRWLockExclusive(&guard.hardCheatLock);
  return held ? 1 : 0;
}

extern "C" uint32_t ZARNELGUARD_API ZarnelGuardTakeHardCheatReport(uint8_t* reportOut, uint32_t reportCapacity,
                                                                  uint32_t* reportSizeOut) {
  if (!reportSizeOut) return 0;
  *reportSizeOut = 0;
  if (!reportOut || reportCapacity < kHardCheatReportSize) return 0;
  uint32_t taken = 0;
  AcquireSRWLockShared(&guard.hardCheatLock);
  if (guard.hardCheat.detectionConfirmed && guard.hardCheat.reportReady) {
    CopyMemory(reportOut, guard.hardCheat.report, kHardCheatReportSize);
    *reportSizeOut = kHardCheatReportSize;
    taken = 1;
  }
  ReleaseSRWLockShared(&guard.hardCheatLock);
  return taken;
}

extern "C" uint32_t ZARNELGUARD_API ZarnelGuardAcknowledgeHardCheatReport(const uint8_t* reportId, uint8_t accepted) {
  if (!reportId || accepted > 1) return 0;
  wchar_t code[kHardCheatCodeCapacity] = {};
  wchar_t message[kHardCheatMessageCapacity] = {};
  AcquireSRWLockExclusive(&guard.hardCheatLock);
  const HardCheatState& state = guard.hardCheat;
  // The identifier alone decides: neither a held challenge nor a ready report
  // is needed, so a cleared challenge cannot keep the client alive.
  if (!state.detectionConfirmed || !BytesEqualConstantTime(reportId, state.reportId, kHardCheatIdSize)) {
    ReleaseSRWLockExclusive(&guard.hardCheatLock);
    return 0;
  }
  FormatBoundedText(code, kHardCheatCodeCapacity, L"%ls", state.codeText);
  if (accepted)
    FormatBoundedText(message, kHardCheatMessageCapacity, L"%ls", state.messageText);
  else
    FormatBoundedText(message, kHardCheatMessageCapacity, L"%ls%ls", state.messageText, kReportRejectedSuffix);
  ReleaseSRWLockExclusive(&guard.hardCheatLock);
  FatalExit(code, message);
}

extern "C" void ZARNELGUARD_API ZarnelGuardClearHardCheatChallenge(void) {
  AcquireSRWLockExclusive(&guard.hardCheatLock);
  // The recorded detection and a running clock stay: clearing the challenge
  // must not cancel the deadline.
  ForgetChallenge(guard.hardCheat);
  ReleaseSRWLockExclusive(&guard.hardCheatLock);
}
