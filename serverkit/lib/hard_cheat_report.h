// Verification of the hard-cheat report: the 241-byte report the client
// relays is split, the 207-byte "ZARNEL-GUARD-HARD-CHEAT-V1" record is
// rebuilt with the build of the challenge the server issued under the
// report's challenge id, and the device signature is checked over it.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bytes.h"
#include "challenge.h"
#include "evidence.h"
#include "verdict.h"

namespace zarnel::serverkit {

constexpr std::size_t kHardCheatReportSize = 241;
constexpr std::size_t kHardCheatRecordSize = 207;
constexpr std::size_t kReportIdSize = 16;
constexpr std::uint16_t kHardCheatReportVersion = 1;

// The report's fields as found; header integers decoded little-endian.
struct HardCheatReport {
  std::uint16_t formatVersion = 0;
  std::uint16_t clientBuild = 0;
  std::uint16_t reserved = 0;
  std::uint8_t keyKind = 0;
  std::uint16_t violation = 0;
  Bytes reportId;
  Bytes challengeId;
  Bytes challengeNonce;
  Bytes evidenceDigest;
  Bytes publicKey;
  Bytes signature;
};

struct HardCheatPolicy {
  std::optional<EvidenceClaim> evidence;  // recompute and compare the digest
  // The claim names no violation of its own: the report's stands in for it.
  bool evidenceViolationFromReport = false;
  std::vector<Bytes> knownPublicKeys;  // empty accepts any key
  std::optional<std::uint32_t> expectedClientBuild;
  std::uint32_t newestClientBuild = kNewestClientBuild;
};

// Splits the report; checks nothing but its length.
Verdict ParseHardCheatReport(const Bytes& bytes, HardCheatReport& report);

Bytes BuildHardCheatRecord(const HardCheatReport& report, std::uint32_t challengeBuild);

// `issued` holds the hard-cheat challenges still open on the server; the
// one whose id the report names supplies the build. `report` receives the
// parsed fields even on rejection, for logging.
Verdict VerifyHardCheatReport(const Bytes& bytes, const std::vector<Challenge>& issued,
                              const HardCheatPolicy& policy, HardCheatReport& report);

}  // namespace zarnel::serverkit
