// What only the Redis store has: several servers sharing it, deployments
// kept apart by prefix, a lost connection, and the address it is given.
#include <memory>

#include <gtest/gtest.h>

#include "redis_challenge_store.h"
#include "redis_server.h"
#include "signed_answers.h"

namespace zarnel::serverkit {
namespace {

RedisStoreAddress Local(int port, const std::string& prefix) {
  RedisStoreAddress address;
  address.host = "127.0.0.1";
  address.port = port;
  address.prefix = prefix;
  address.timeout = std::chrono::milliseconds(500);
  return address;
}

TEST(RedisChallengeStore, ServersOfOneDeploymentShareChallengesAndOthersDoNot) {
  testing::RedisServer redis;
  std::string error;
  ASSERT_TRUE(redis.Start(error)) << error;
  RedisChallengeStore issuing(Local(redis.port(), "fleet-a"));
  RedisChallengeStore verifying(Local(redis.port(), "fleet-a"));
  RedisChallengeStore otherDeployment(Local(redis.port(), "fleet-b"));
  const testing::TestDeviceKey device = testing::MakeTestDeviceKey();

  Challenge challenge;
  ASSERT_TRUE(issuing.IssueLoginChallenge("s1", 62, kNewestClientBuild, challenge).ok());
  const LoginAnswer answer = testing::SignLoginAnswer(device, challenge);
  EXPECT_EQ(otherDeployment.VerifyLoginProof("s1", answer, {}).check, Check::kChallengeUnknown);
  EXPECT_EQ(verifying.VerifyLoginProof("s1", answer, {}).check, Check::kOk);
  EXPECT_EQ(issuing.VerifyLoginProof("s1", answer, {}).check, Check::kChallengeUsed);
}

// A store that cannot reach Redis rejects everything by name and accepts
// nothing; it recovers by itself once Redis is back.
TEST(RedisChallengeStore, ALostConnectionIsStoreUnavailableNeverAnAcceptance) {
  testing::RedisServer redis;
  std::string error;
  ASSERT_TRUE(redis.Start(error)) << error;
  RedisChallengeStore store(Local(redis.port(), "lost"));
  const testing::TestDeviceKey device = testing::MakeTestDeviceKey();
  Challenge login;
  Challenge hardCheat;
  ASSERT_TRUE(store.IssueLoginChallenge("s1", 62, kNewestClientBuild, login).ok());
  ASSERT_TRUE(store.IssueHardCheatChallenge("s1", 62, kNewestClientBuild, hardCheat).ok());
  const int port = redis.port();

  redis.Stop();
  EXPECT_EQ(store.VerifyLoginProof("s1", testing::SignLoginAnswer(device, login), {}).check,
            Check::kStoreUnavailable);
  HardCheatReport report;
  EXPECT_EQ(store
                .VerifyHardCheatReport(
                    "s1", testing::SignHardCheatReport(device, hardCheat, testing::Pattern(16, 3)),
                    {}, report)
                .check,
            Check::kStoreUnavailable);
  Challenge refused;
  EXPECT_EQ(store.IssueLoginChallenge("s1", 62, kNewestClientBuild, refused).check,
            Check::kStoreUnavailable);
  EXPECT_TRUE(refused.id.empty());
  EXPECT_EQ(store.ConfirmAcknowledgementSent("s1", testing::Pattern(16, 3)).check,
            Check::kStoreUnavailable);
  EXPECT_EQ(store.Ping().check, Check::kStoreUnavailable);

  // Back, empty (no persistence): the old challenge is unknown, new ones work.
  ASSERT_TRUE(redis.Start(error, port)) << error;
  EXPECT_TRUE(store.Ping().ok());
  EXPECT_EQ(store.VerifyLoginProof("s1", testing::SignLoginAnswer(device, login), {}).check,
            Check::kChallengeUnknown);
  Challenge fresh;
  ASSERT_TRUE(store.IssueLoginChallenge("s1", 62, kNewestClientBuild, fresh).ok());
  EXPECT_EQ(store.VerifyLoginProof("s1", testing::SignLoginAnswer(device, fresh), {}).check,
            Check::kOk);
}

TEST(RedisChallengeStore, NothingListeningIsStoreUnavailable) {
  RedisChallengeStore store(Local(testing::FreeLocalPort(), "nobody"));
  Challenge challenge;
  EXPECT_EQ(store.IssueLoginChallenge("s1", 62, kNewestClientBuild, challenge).check,
            Check::kStoreUnavailable);
}

TEST(ParseRedisStoreUrl, TakesHostPortAndPrefixOnly) {
  struct Case {
    const char* url;
    bool ok;
    const char* host;
    int port;
    const char* prefix;
  };
  const Case cases[] = {
      {"redis://127.0.0.1:6379/zarnel-prod", true, "127.0.0.1", 6379, "zarnel-prod"},
      {"redis://cache.internal:7000/eu_1.login", true, "cache.internal", 7000, "eu_1.login"},
      {"redis://127.0.0.1:6379/", false, "", 0, ""},
      {"redis://127.0.0.1/zarnel", false, "", 0, ""},
      {"redis://:6379/zarnel", false, "", 0, ""},
      {"redis://127.0.0.1:0/zarnel", false, "", 0, ""},
      {"redis://127.0.0.1:65536/zarnel", false, "", 0, ""},
      {"redis://127.0.0.1:63x9/zarnel", false, "", 0, ""},
      {"redis://127.0.0.1:6379/with space", false, "", 0, ""},
      {"redis://127.0.0.1:6379/a:b", false, "", 0, ""},
      {"http://127.0.0.1:6379/zarnel", false, "", 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    RedisStoreAddress address;
    std::string error;
    EXPECT_EQ(ParseRedisStoreUrl(c.url, address, error), c.ok);
    EXPECT_EQ(error.empty(), c.ok);
    if (c.ok) {
      EXPECT_EQ(address.host, c.host);
      EXPECT_EQ(address.port, c.port);
      EXPECT_EQ(address.prefix, c.prefix);
    }
  }
  std::string longPrefix(65, 'p');
  RedisStoreAddress address;
  std::string error;
  EXPECT_FALSE(ParseRedisStoreUrl("redis://h:1/" + longPrefix, address, error));
  EXPECT_TRUE(ParseRedisStoreUrl("redis://h:1/" + longPrefix.substr(1), address, error));
}

}  // namespace
}  // namespace zarnel::serverkit
