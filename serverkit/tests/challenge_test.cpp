#include <gtest/gtest.h>

#include "challenge.h"

namespace zarnel::serverkit {
namespace {

struct Issuer {
  const char* name;
  Verdict (*issue)(std::uint32_t, Challenge&);
  std::uint16_t version;
  std::uint16_t otherVersion;
};

const Issuer kIssuers[] = {
    {"login", IssueLoginChallenge, 2, 1},
    {"hard-cheat", IssueHardCheatChallenge, 1, 2},
};

TEST(IssueChallenge, IssuesFreshNonZeroValuesThatPassTheirOwnCheckOnly) {
  for (const Issuer& issuer : kIssuers) {
    SCOPED_TRACE(issuer.name);
    for (std::uint32_t build : {1u, 30u, 62u}) {
      Challenge first, second;
      ASSERT_TRUE(issuer.issue(build, first).ok());
      ASSERT_TRUE(issuer.issue(build, second).ok());
      EXPECT_EQ(first.version, issuer.version);
      EXPECT_EQ(first.build, build);
      ASSERT_EQ(first.id.size(), 16u);
      ASSERT_EQ(first.nonce.size(), 32u);
      EXPECT_FALSE(IsAllZero(first.id));
      EXPECT_FALSE(IsAllZero(first.nonce));
      EXPECT_NE(first.id, second.id);
      EXPECT_NE(first.nonce, second.nonce);
      EXPECT_TRUE(CheckChallenge(first, issuer.version).ok());
      EXPECT_EQ(CheckChallenge(first, issuer.otherVersion).check, Check::kBadChallengeVersion);
    }
  }
}

TEST(IssueChallenge, RefusesBuildOutsideOneToNewest) {
  for (const Issuer& issuer : kIssuers) {
    for (std::uint32_t build : {0u, 63u, 0xFFFFFFFFu}) {
      SCOPED_TRACE(std::string(issuer.name) + " build " + std::to_string(build));
      Challenge challenge;
      EXPECT_EQ(issuer.issue(build, challenge).check, Check::kChallengeBuildOutOfRange);
      EXPECT_TRUE(challenge.id.empty());
    }
  }
}

TEST(CheckChallenge, NamesTheFieldAtFault) {
  Challenge valid{2, 62, Bytes(16, 0), Bytes(32, 0)};
  valid.id[15] = 1;  // a single non-zero byte is enough
  valid.nonce[0] = 1;
  ASSERT_TRUE(CheckChallenge(valid, 2).ok());

  struct Case {
    const char* name;
    void (*mutate)(Challenge&);
    Check expected;
  };
  const Case cases[] = {
      {"build 0", [](Challenge& c) { c.build = 0; }, Check::kChallengeBuildOutOfRange},
      {"build 63", [](Challenge& c) { c.build = 63; }, Check::kChallengeBuildOutOfRange},
      {"short id", [](Challenge& c) { c.id.pop_back(); }, Check::kWrongLength},
      {"long nonce", [](Challenge& c) { c.nonce.push_back(1); }, Check::kWrongLength},
      {"zero id", [](Challenge& c) { c.id.assign(16, 0); }, Check::kZeroChallengeId},
      {"zero nonce", [](Challenge& c) { c.nonce.assign(32, 0); }, Check::kZeroChallengeNonce},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Challenge challenge = valid;
    c.mutate(challenge);
    EXPECT_EQ(CheckChallenge(challenge, 2).check, c.expected);
  }
}

TEST(CheckClientBuild, AcceptsFromChallengeBuildToNewestAndHonoursPin) {
  struct Case {
    std::uint32_t client;
    std::uint32_t challenge;
    std::optional<std::uint32_t> pinned;
    Check expected;
  };
  const Case cases[] = {
      {62, 62, std::nullopt, Check::kOk},
      {40, 30, std::nullopt, Check::kOk},
      {30, 30, std::nullopt, Check::kOk},
      {29, 30, std::nullopt, Check::kClientBuildOutOfRange},
      {63, 1, std::nullopt, Check::kClientBuildOutOfRange},
      {0, 0, std::nullopt, Check::kClientBuildOutOfRange},
      {62, 1, 62u, Check::kOk},
      {61, 1, 62u, Check::kClientBuildMismatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.client) + " against " + std::to_string(c.challenge));
    EXPECT_EQ(CheckClientBuild(c.client, c.challenge, c.pinned).check, c.expected);
  }
}

}  // namespace
}  // namespace zarnel::serverkit
