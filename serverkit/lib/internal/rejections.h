// Rejections given in more than one place, worded once: a backend reads the
// same text whichever store the service runs on.
#pragma once

#include <cstddef>

#include "bytes.h"
#include "verdict.h"

namespace zarnel::serverkit {

Verdict StoreFull(std::size_t maxEntries);
Verdict ChallengeUnknown(const Bytes& id);
Verdict ChallengeUsed();
Verdict ChallengeExpired();
Verdict ChallengeIdWrongLength();
// The random source handed out an id that is already stored.
Verdict RepeatedChallengeId();
Verdict ReportWrongSession(const Bytes& reportId);
Verdict ReportUnknown(const Bytes& reportId);

}  // namespace zarnel::serverkit
