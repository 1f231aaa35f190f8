// Rejections given in more than one place, worded once: a backend reads the
// same text whichever store the service runs on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bytes.h"
#include "verdict.h"

namespace zarnel::serverkit {

enum class ChallengeKind : std::uint8_t;  // challenge_store.h

// The room of challenges of `kind` (see MaxEntriesOf) is full.
Verdict StoreFull(ChallengeKind kind, std::size_t maxEntries);
Verdict SessionLimit(std::size_t maxOpen);
Verdict CallerLimit(std::size_t maxOpen);
Verdict ChallengeUnknown(const Bytes& id);
Verdict ChallengeUsed();
Verdict ChallengeExpired();
Verdict ChallengeIdWrongLength();
// The random source handed out an id that is already stored.
Verdict RepeatedChallengeId();
Verdict ReportWrongSession(const Bytes& reportId);
Verdict ReportUnknown(const Bytes& reportId);

}  // namespace zarnel::serverkit
