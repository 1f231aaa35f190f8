#pragma once
// The text behind a hard-cheat report's evidence digest. Pure, so that the
// fuzz build compiles it as it ships; the digest and the process id are the
// caller's (proofs/hard_cheat_evidence.cpp).
#include <cstdint>

constexpr uint32_t kEvidenceNameCapacity = 96;   // bytes; a kept name is 1 to 95
constexpr uint32_t kEvidenceTextCapacity = 384;  // bytes; a text is 1 to 383

// Lower-case ASCII letters, digits, "." and "_" kept; every run of other code
// units between kept characters becomes one "-". False when nothing is kept
// or the result would reach 96 bytes. `normalised` is zero-terminated.
bool NormaliseEvidenceName(const wchar_t* name, char (&normalised)[kEvidenceNameCapacity], uint32_t& length);

// "ZARNEL-GUARD-EVIDENCE-V1\n..." for a violation (1 to 3), the normalised
// name, the target process and the access mask; `length` bytes, terminated.
// False (text zeroed) for any other violation or a name that keeps nothing.
bool FormatEvidenceText(uint16_t violation, const wchar_t* name, uint32_t targetProcessId, uint32_t accessMask,
                        char (&text)[kEvidenceTextCapacity], uint32_t& length);
