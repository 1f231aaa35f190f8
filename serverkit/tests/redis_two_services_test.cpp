// Two instances of the verification service, each with a store of its own,
// on one Redis: the service keeps nothing itself, so a challenge one
// issued is answered at the other, and once only at either.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "redis_challenge_store.h"
#include "redis_server.h"
#include "signed_answers.h"
#include "verification_service.h"

namespace zarnel::serverkit {
namespace {

using service::Json;

class TwoServicesOnOneRedis : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(redis_.Start(error)) << error;
    const RedisStoreAddress address{"127.0.0.1", redis_.port(), "fleet",
                                    std::chrono::milliseconds(2000)};
    for (int i = 0; i < 2; ++i) {
      stores_.push_back(std::make_unique<RedisChallengeStore>(address));
      services_.push_back(
          std::make_unique<service::VerificationService>(*stores_.back(), service::ServicePolicy{}));
    }
  }

  Challenge Issue(int at, const std::string& session) {
    const service::ServiceReply reply =
        services_[at]->Handle("POST", "/v1/login-challenges", Json{{"session", session}}.dump());
    EXPECT_EQ(reply.status, 200) << reply.body.dump();
    const Json& c = reply.body["challenge"];
    return Challenge{static_cast<std::uint16_t>(c["version"].get<int>()),
                     c["build"].get<std::uint32_t>(), testing::Unhex(c["id"].get<std::string>()),
                     testing::Unhex(c["nonce"].get<std::string>())};
  }

  // The service's answer: its check, and "+repeat" when it says so.
  std::string Answer(int at, const std::string& session, const LoginAnswer& answer) {
    const std::string body = testing::LoginProofBody(session, answer).dump();
    const service::ServiceReply reply = services_[at]->Handle("POST", "/v1/login-proofs", body);
    return reply.body.value("check", "?") + (reply.body.value("repeat", false) ? "+repeat" : "");
  }

  testing::RedisServer redis_;
  std::vector<std::unique_ptr<RedisChallengeStore>> stores_;
  std::vector<std::unique_ptr<service::VerificationService>> services_;
  const testing::TestDeviceKey device_ = testing::MakeTestDeviceKey();
};

TEST_F(TwoServicesOnOneRedis, AChallengeIssuedByOneIsAnsweredOnceAtEither) {
  // Issued at 0, answered at `first`, then at `second` with the same
  // answer (a retry) or another signature of it (a replay).
  const struct {
    int first;
    int second;
    bool sameAnswer;
    const char* expected;
  } cases[] = {
      {1, 0, true, "ok+repeat"},         {1, 1, true, "ok+repeat"},
      {1, 0, false, "challenge-used"},   {1, 1, false, "challenge-used"},
      {0, 1, false, "challenge-used"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + " then " + std::to_string(c.second) +
                 (c.sameAnswer ? ", the same answer" : ", another answer"));
    const Challenge challenge = Issue(0, "s1");
    const LoginAnswer answer = testing::SignLoginAnswer(device_, challenge);
    const LoginAnswer other = testing::SignLoginAnswer(device_, challenge);
    ASSERT_NE(answer.signature, other.signature);
    EXPECT_EQ(Answer(c.first, "s1", answer), "ok");
    EXPECT_EQ(Answer(c.second, "s1", c.sameAnswer ? answer : other), c.expected);
  }
}

// Two answers to each challenge, each sent to another instance at the same
// moment: one is accepted, the other is challenge-used.
TEST_F(TwoServicesOnOneRedis, RacingAnswersAtBothAreAcceptedOnce) {
  constexpr int kChallenges = 40;
  for (int i = 0; i < kChallenges; ++i) {
    SCOPED_TRACE(i);
    const std::string session = "s" + std::to_string(i);
    const Challenge challenge = Issue(i % 2, session);
    const LoginAnswer answers[] = {testing::SignLoginAnswer(device_, challenge),
                                   testing::SignLoginAnswer(device_, challenge)};
    std::string checks[2];
    std::thread racers[2];
    for (int at = 0; at < 2; ++at) {
      racers[at] = std::thread([&, at] { checks[at] = Answer(at, session, answers[at]); });
    }
    for (std::thread& racer : racers) racer.join();
    std::vector<std::string> sorted = {checks[0], checks[1]};
    std::sort(sorted.begin(), sorted.end());
    EXPECT_EQ(sorted, (std::vector<std::string>{"challenge-used", "ok"}));
  }
}

}  // namespace
}  // namespace zarnel::serverkit
