// Recording a confirmed detection: only the first one of a process lifetime
// stands, and it stands only when it could be recorded whole (and, with a
// challenge held, signed).
#include <windows.h>
#include <bcrypt.h>

#include "state/guard_state.h"
#include "platform/win32_calls.h"
#include "proofs/hard_cheat_protocol.h"
#include "proofs/hard_cheat_texts.h"
#include "platform/bounded_text.h"

namespace {
constexpr wchar_t kDefaultHardCheatCode[] = L"AC-HARD-001";

void ForgetRecordedDetection(HardCheatState& state) {
  state.detectionConfirmed = 0;
  state.violation = 0;
  state.ackClockStart = 0;
  SecureZeroMemory(state.reportId, sizeof(state.reportId));
  SecureZeroMemory(state.evidenceDigest, sizeof(state.evidenceDigest));
  SecureZeroMemory(state.codeText, sizeof(state.codeText));
  SecureZeroMemory(state.messageText, sizeof(state.messageText));
}
}  // namespace

uint64_t ReadAcknowledgementClock() {
  // 0 means "clock not running"; a clock started at tick 0 would never
  // expire and the process would never end.
  uint64_t now = win32Calls.GetTickCount64();
  return now ? now : 1;
}

bool ConfirmHardCheatDetection(uint16_t violation, const wchar_t* name, uint32_t accessMask,
                               const wchar_t* violationCode, const wchar_t* message) {
  uint8_t digest[32] = {};
  if (!HashHardCheatEvidence(violation, name, accessMask, digest)) {
    SecureZeroMemory(digest, sizeof(digest));
    return false;
  }
  uint8_t reportId[kHardCheatIdSize] = {};
  bool recorded = false;

  AcquireSRWLockExclusive(&guard.hardCheatLock);
  HardCheatState& state = guard.hardCheat;
  if (state.detectionConfirmed) {
    recorded = true;  // the first detection stands
  } else if (BCRYPT_SUCCESS(win32Calls.BCryptGenRandom(nullptr, reportId, sizeof(reportId),
                                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG)) &&
             !IsAllZeroBytes(reportId, sizeof(reportId))) {
    state.detectionConfirmed = 1;
    state.violation = violation;
    state.ackClockStart = state.challengePresent ? ReadAcknowledgementClock() : 0;
    CopyMemory(state.reportId, reportId, sizeof(reportId));
    CopyMemory(state.evidenceDigest, digest, sizeof(digest));
    FormatBoundedText(state.codeText, kHardCheatCodeCapacity, L"%ls",
                      violationCode && violationCode[0] ? violationCode : kDefaultHardCheatCode);
    FormatBoundedText(state.messageText, kHardCheatMessageCapacity, L"%ls",
                      message && message[0] ? message : kDefaultHardCheatMessage);
    recorded = !state.challengePresent || BuildHardCheatReport();
    if (!recorded) ForgetRecordedDetection(state);
  }
  ReleaseSRWLockExclusive(&guard.hardCheatLock);

  SecureZeroMemory(reportId, sizeof(reportId));
  SecureZeroMemory(digest, sizeof(digest));
  return recorded;
}

bool IsHardCheatDetectionPending() {
  AcquireSRWLockShared(&guard.hardCheatLock);
  bool pending = guard.hardCheat.detectionConfirmed != 0;
  ReleaseSRWLockShared(&guard.hardCheatLock);
  return pending;
}

bool TakeOverdueAcknowledgement(wchar_t (&code)[kHardCheatCodeCapacity],
                                wchar_t (&message)[kHardCheatMessageCapacity]) {
  AcquireSRWLockShared(&guard.hardCheatLock);
  const HardCheatState& state = guard.hardCheat;
  // The tick is read under the lock: a clock started on another thread
  // after an earlier reading would otherwise look 2^64 ms old.
  bool overdue = state.detectionConfirmed && state.ackClockStart != 0 &&
                 win32Calls.GetTickCount64() - state.ackClockStart >= kAcknowledgementTimeoutMs;
  if (overdue) {
    FormatBoundedText(code, kHardCheatCodeCapacity, L"%ls", state.codeText);
    FormatBoundedText(message, kHardCheatMessageCapacity, L"%ls%ls", state.messageText,
                      kAcknowledgementTimedOutSuffix);
  }
  ReleaseSRWLockShared(&guard.hardCheatLock);
  return overdue;
}
