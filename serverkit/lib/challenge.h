// Challenges the server issues: the login challenge (version 2) and the
// hard-cheat challenge (version 1) share one shape and the same rules.
#pragma once

#include <cstdint>
#include <optional>

#include "bytes.h"
#include "verdict.h"

namespace zarnel::serverkit {

constexpr std::uint16_t kLoginChallengeVersion = 2;
constexpr std::uint16_t kHardCheatChallengeVersion = 1;

// The newest client build this kit was released with, the default of the
// servers' policy. A challenge may name an older build as the oldest one the
// server still accepts, never a newer one. Servers that already accept a
// newer guard pass their own newest build wherever a `newestBuild` is taken.
constexpr std::uint32_t kNewestClientBuild = 62;
constexpr std::uint32_t kOldestClientBuild = 1;

constexpr std::size_t kChallengeIdSize = 16;
constexpr std::size_t kChallengeNonceSize = 32;

struct Challenge {
  std::uint16_t version = 0;
  std::uint32_t build = 0;
  Bytes id;
  Bytes nonce;
};

// The client builds a server accepts. A challenge names one of them, the
// client's own when the server knows it, else the oldest: the guard refuses
// a challenge that names a build above its own, so one that named the
// newest would lock out every client not yet updated to it.
struct AcceptedBuilds {
  std::uint32_t oldest = kNewestClientBuild;
  std::uint32_t newest = kNewestClientBuild;
};

// Up to `newest`, from `oldest` when the server names one, else from the
// kit's own build (or `newest` when that is older).
AcceptedBuilds AcceptedBuildsUpTo(std::uint32_t newest,
                                  std::optional<std::uint32_t> oldest = std::nullopt);

// The build a challenge names: `clientBuild` when given, else the oldest
// accepted. challenge-build-out-of-range when that is not one of
// `accepted`, or when `accepted` is no range within 1 to its newest.
Verdict ChooseChallengeBuild(std::optional<std::uint32_t> clientBuild,
                             const AcceptedBuilds& accepted, std::uint32_t& build);

// Draws id and nonce from OpenSSL's CSPRNG; an all-zero draw is redrawn
// because the guard refuses it.
Verdict IssueLoginChallenge(std::uint32_t build, Challenge& out);
Verdict IssueHardCheatChallenge(std::uint32_t build, Challenge& out);
// Either kind, against the server's own newest build.
Verdict IssueChallenge(std::uint16_t version, std::uint32_t build, std::uint32_t newestBuild,
                       Challenge& out);

// Re-checks a stored challenge before it is used to rebuild a record, so a
// corrupted session store cannot make a proof verify against garbage.
Verdict CheckChallenge(const Challenge& challenge, std::uint16_t expectedVersion,
                       std::uint32_t newestBuild = kNewestClientBuild);

// The client must run a build from the challenge's build up to the newest
// one; `expected`, when given, pins it to one exact build.
Verdict CheckClientBuild(std::uint32_t clientBuild, std::uint32_t challengeBuild,
                         std::optional<std::uint32_t> expected,
                         std::uint32_t newestBuild = kNewestClientBuild);

}  // namespace zarnel::serverkit
