#pragma once
// Confirmed grave detections and the signed report that answers the
// server's hard-cheat challenge.
#include <cstddef>
#include <cstdint>

#include "platform/record_bytes.h"
#include "proofs/evidence_text.h"
#include "state/hard_cheat_state.h"

constexpr uint32_t kHardCheatRecordSize = 207;
constexpr uint64_t kAcknowledgementTimeoutMs = 8000;

// Records a confirmed detection (first one wins). False when it cannot be
// recorded; the caller then takes the fatal exit. Never call it with
// guard.hardCheatLock held.
bool ConfirmHardCheatDetection(uint16_t violation, const wchar_t* name, uint32_t accessMask,
                               const wchar_t* violationCode, const wchar_t* message);
// A confirmed detection is waiting for its report to be acknowledged.
bool IsHardCheatDetectionPending();

// SHA-256 of the evidence text "ZARNEL-GUARD-EVIDENCE-V1\n..." for a
// violation (1 to 3), the normalised name and this process as the target.
bool HashHardCheatEvidence(uint16_t violation, const wchar_t* name, uint32_t accessMask, uint8_t digest[32]);

// Signs the report for the held challenge and the recorded detection into
// guard.hardCheat.report. Only with guard.hardCheatLock held exclusively; it
// takes guard.deviceKeyLock inside. On failure: report zeroed, message set.
bool BuildHardCheatReport();

// When the acknowledgement clock has run for 8000 ms or more, forms the
// final violation code and time-out message (cut to their buffers) and
// returns true. Reads the state under guard.hardCheatLock in shared mode.
bool TakeOverdueAcknowledgement(wchar_t (&code)[kHardCheatCodeCapacity],
                                wchar_t (&message)[kHardCheatMessageCapacity]);

// A tick reading for the acknowledgement clock: never 0, which means "not running".
uint64_t ReadAcknowledgementClock();
