// The evidence text behind a hard-cheat report's evidence digest, so the
// server can tie a report to the finding it claims.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "bytes.h"
#include "verdict.h"

namespace zarnel::serverkit {

constexpr std::uint32_t kViolationActiveDebugger = 1;
constexpr std::uint32_t kViolationHardCheatProgram = 3;
constexpr std::uint32_t kMaxViolation = 3;

// The guard normalises into a 96-byte buffer that keeps its terminator.
constexpr std::size_t kMaxNormalisedNameSize = 95;

struct EvidenceClaim {
  std::uint32_t violation = 0;
  std::string name;  // UTF-8, as the finding named it
  std::uint32_t processId = 0;
  std::uint32_t accessMask = 0;
};

// a-z, 0-9, '.', '_' are kept, A-Z folded; every other unit separates, a
// run of separators becoming one '-' and none at either end. The guard
// walks UTF-16 units and this walks UTF-8 bytes: a non-ASCII character is
// a separator run either way, so both give the same text. Stops at NUL.
// False when the result is empty or longer than 95 bytes.
bool NormaliseEvidenceName(std::string_view name, std::string& normalised);

Verdict FormatEvidenceText(const EvidenceClaim& claim, std::string& text);

Verdict ComputeEvidenceDigest(const EvidenceClaim& claim, Bytes& digest);

}  // namespace zarnel::serverkit
