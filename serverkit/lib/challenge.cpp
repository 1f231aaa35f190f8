#include "challenge.h"

#include <climits>
#include <string>
#include <utility>

#include <openssl/rand.h>

#include "internal/rejections.h"

namespace zarnel::serverkit {

#ifdef ZARNEL_GUARD_CLIENT_BUILD
static_assert(kNewestClientBuild == ZARNEL_GUARD_CLIENT_BUILD,
              "kNewestClientBuild differs from the guard's client build (project(VERSION) in the top CMakeLists.txt)");
#endif

namespace {

constexpr int kMaxRandomDraws = 8;

bool DrawNonZero(std::size_t size, Bytes& out) {
  out.assign(size, 0);
  for (int attempt = 0; attempt < kMaxRandomDraws; ++attempt) {
    if (RAND_bytes(out.data(), static_cast<int>(size)) != 1) break;
    if (!IsAllZero(out)) return true;
  }
  out.clear();
  return false;
}

bool BuildInRange(std::uint32_t build, std::uint32_t newest) {
  return build >= kOldestClientBuild && build <= newest;
}

std::string BuildRangeText(std::uint32_t newest) {
  return std::to_string(kOldestClientBuild) + " to " + std::to_string(newest);
}

}  // namespace

Verdict IssueChallenge(std::uint16_t version, std::uint32_t build, std::uint32_t newestBuild,
                       Challenge& out) {
  out = Challenge{};
  if (!BuildInRange(build, newestBuild)) {
    return Reject(Check::kChallengeBuildOutOfRange, "challenge build " + std::to_string(build) +
                                                        " is not " + BuildRangeText(newestBuild));
  }
  Challenge issued;
  issued.version = version;
  issued.build = build;
  if (!DrawNonZero(kChallengeIdSize, issued.id) ||
      !DrawNonZero(kChallengeNonceSize, issued.nonce)) {
    return Reject(Check::kRandomUnavailable, "the random source failed");
  }
  out = std::move(issued);
  return Accept();
}

AcceptedBuilds AcceptedBuildsUpTo(std::uint32_t newest, std::optional<std::uint32_t> oldest) {
  return AcceptedBuilds{oldest.value_or(newest < kNewestClientBuild ? newest : kNewestClientBuild),
                        newest};
}

Verdict ChooseChallengeBuild(std::optional<std::uint32_t> clientBuild,
                             const AcceptedBuilds& accepted, std::uint32_t& build) {
  build = 0;
  if (!BuildInRange(accepted.oldest, accepted.newest)) {
    return Reject(Check::kChallengeBuildOutOfRange,
                  "oldest accepted build " + std::to_string(accepted.oldest) + " is not " +
                      BuildRangeText(accepted.newest));
  }
  const std::uint32_t named = clientBuild.value_or(accepted.oldest);
  if (named < accepted.oldest || named > accepted.newest) {
    return Reject(Check::kChallengeBuildOutOfRange,
                  "challenge build " + std::to_string(named) + " is not among the builds accepted, " +
                      std::to_string(accepted.oldest) + " to " + std::to_string(accepted.newest));
  }
  build = named;
  return Accept();
}

Verdict IssueLoginChallenge(std::uint32_t build, Challenge& out) {
  return IssueChallenge(kLoginChallengeVersion, build, kNewestClientBuild, out);
}

Verdict IssueHardCheatChallenge(std::uint32_t build, Challenge& out) {
  return IssueChallenge(kHardCheatChallengeVersion, build, kNewestClientBuild, out);
}

Verdict CheckChallenge(const Challenge& challenge, std::uint16_t expectedVersion,
                       std::uint32_t newestBuild) {
  if (challenge.version != expectedVersion) {
    return Reject(Check::kBadChallengeVersion,
                  "challenge version " + std::to_string(challenge.version) + ", expected " +
                      std::to_string(expectedVersion));
  }
  if (!BuildInRange(challenge.build, newestBuild)) {
    return Reject(Check::kChallengeBuildOutOfRange, "challenge build " +
                                                        std::to_string(challenge.build) +
                                                        " is not " + BuildRangeText(newestBuild));
  }
  if (challenge.id.size() != kChallengeIdSize) {
    return ChallengeIdWrongLength();
  }
  if (challenge.nonce.size() != kChallengeNonceSize) {
    return Reject(Check::kWrongLength, "challenge nonce must be 32 bytes");
  }
  if (IsAllZero(challenge.id)) {
    return Reject(Check::kZeroChallengeId, "challenge id is all zero");
  }
  if (IsAllZero(challenge.nonce)) {
    return Reject(Check::kZeroChallengeNonce, "challenge nonce is all zero");
  }
  return Accept();
}

Verdict CheckClientBuild(std::uint32_t clientBuild, std::uint32_t challengeBuild,
                         std::optional<std::uint32_t> expected, std::uint32_t newestBuild) {
  if (clientBuild < challengeBuild || !BuildInRange(clientBuild, newestBuild)) {
    return Reject(Check::kClientBuildOutOfRange,
                  "client build " + std::to_string(clientBuild) + " is not " +
                      std::to_string(challengeBuild) + " to " + std::to_string(newestBuild));
  }
  if (expected && clientBuild != *expected) {
    return Reject(Check::kClientBuildMismatch, "client build " + std::to_string(clientBuild) +
                                                   ", expected " + std::to_string(*expected));
  }
  return Accept();
}

}  // namespace zarnel::serverkit
