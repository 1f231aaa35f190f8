// PLACEHOLDER until the hard-cheat exchange lands: nothing can be recorded.
#include "proofs/hard_cheat_protocol.h"

bool ConfirmHardCheatDetection(uint16_t, const wchar_t*, uint32_t, const wchar_t*, const wchar_t*) { return false; }
bool IsHardCheatDetectionPending() { return false; }
