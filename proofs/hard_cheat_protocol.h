#pragma once
// Confirmed grave detections and the signed report that answers the
// server's hard-cheat challenge.
#include <cstdint>

// Records a confirmed detection (first one wins). False when it cannot be
// recorded; the caller then takes the fatal exit.
bool ConfirmHardCheatDetection(uint16_t violation, const wchar_t* name, uint32_t accessMask,
                               const wchar_t* violationCode, const wchar_t* message);
// A confirmed detection is waiting for its report to be acknowledged.
bool IsHardCheatDetectionPending();
