// One suite of the challenge lifecycle, run against both stores: the
// in-memory one with a clock the test moves, and the Redis one against a
// real redis-server, where time passes for real on short time-to-lives.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "memory_challenge_store.h"
#include "redis_challenge_store.h"
#include "redis_server.h"
#include "signed_answers.h"

namespace zarnel::serverkit {
namespace {

using namespace std::chrono_literals;
using testing::Raw;

enum class Backend { kMemory, kRedis };

class ChallengeStoreSuite : public ::testing::TestWithParam<Backend> {
 protected:
  static void SetUpTestSuite() {
    redis_ = new testing::RedisServer;
    std::string error;
    redisStarted_ = redis_->Start(error);
    redisError_ = error;
  }
  static void TearDownTestSuite() {
    delete redis_;
    redis_ = nullptr;
  }

  void SetUp() override {
    if (GetParam() == Backend::kRedis) {
      ASSERT_TRUE(redisStarted_) << redisError_;
    }
  }

  // A fresh store; each Redis one under its own prefix, so that no test
  // sees another's keys.
  std::unique_ptr<ChallengeStore> MakeStore(const ChallengeStoreOptions& options = {}) {
    if (GetParam() == Backend::kMemory) {
      return std::make_unique<MemoryChallengeStore>(options, [this] { return now_.load(); });
    }
    static int next = 0;
    RedisStoreAddress address;
    address.host = "127.0.0.1";
    address.port = redis_->port();
    address.prefix = "suite-" + std::to_string(getpid()) + "-" + std::to_string(++next);
    return std::make_unique<RedisChallengeStore>(address, options);
  }

  // Time to live for the expiry cases: Redis keeps real time, so it is
  // short, yet long enough that a loaded machine does not expire a
  // challenge between issuing and answering it.
  ChallengeStoreOptions ShortLived() const {
    ChallengeStoreOptions options;
    options.loginTtl = options.hardCheatTtl = options.reportBindingTtl =
        GetParam() == Backend::kMemory ? std::chrono::milliseconds(60s) : 1000ms;
    return options;
  }

  void LetTimePass(std::chrono::milliseconds span) {
    if (GetParam() == Backend::kMemory) {
      now_ = now_.load() + span;
    } else {
      std::this_thread::sleep_for(span);
    }
  }

  std::atomic<std::chrono::steady_clock::time_point> now_{std::chrono::steady_clock::now()};
  const testing::TestDeviceKey device_ = testing::MakeTestDeviceKey();

  static testing::RedisServer* redis_;
  static bool redisStarted_;
  static std::string redisError_;
};

testing::RedisServer* ChallengeStoreSuite::redis_ = nullptr;
bool ChallengeStoreSuite::redisStarted_ = false;
std::string ChallengeStoreSuite::redisError_;

Challenge IssueLogin(ChallengeStore& store, const std::string& session) {
  Challenge challenge;
  const Verdict verdict = store.IssueLoginChallenge(session, 62, kNewestClientBuild, challenge);
  EXPECT_TRUE(verdict.ok()) << verdict.check << ": " << verdict.detail;
  return challenge;
}

Challenge IssueHardCheat(ChallengeStore& store, const std::string& session) {
  Challenge challenge;
  const Verdict verdict =
      store.IssueHardCheatChallenge(session, 62, kNewestClientBuild, challenge);
  EXPECT_TRUE(verdict.ok()) << verdict.check << ": " << verdict.detail;
  return challenge;
}

// The same call again (a backend retrying) gets the verdict it got, marked
// as a repeat; the proof from another session, or any other proof for the
// challenge (a signature of other bytes, a malleated one), is a replay.
TEST_P(ChallengeStoreSuite, AProofVerifiesOnceAndItsReplayIsNamed) {
  auto store = MakeStore();
  const Challenge challenge = IssueLogin(*store, "s1");
  EXPECT_EQ(challenge.version, kLoginChallengeVersion);
  const LoginAnswer answer = testing::SignLoginAnswer(device_, challenge);
  const Verdict first = store->VerifyLoginProof("s1", answer, {});
  EXPECT_EQ(first.check, Check::kOk);
  EXPECT_FALSE(first.repeat);
  const Verdict retried = store->VerifyLoginProof("s1", answer, {});
  EXPECT_EQ(retried.check, Check::kOk);
  EXPECT_TRUE(retried.repeat);

  LoginAnswer resigned = testing::SignLoginAnswer(device_, challenge);
  ASSERT_NE(resigned.signature, answer.signature);  // ECDSA draws a fresh k
  EXPECT_EQ(store->VerifyLoginProof("s2", answer, {}).check, Check::kChallengeUsed);
  EXPECT_EQ(store->VerifyLoginProof("s1", resigned, {}).check, Check::kChallengeUsed);
  EXPECT_EQ(store->VerifyLoginProof("s1", answer, {}).check, Check::kOk);
}

// Each way an answer can miss its challenge has its own name, and in every
// case the challenge is gone afterwards: a later, honest answer to it is a
// replay too. The missing answer sent again gets its own verdict again,
// as a repeat when it had taken the challenge.
TEST_P(ChallengeStoreSuite, NamesEachWayAnAnswerMissesItsChallenge) {
  struct Case {
    const char* name;
    bool hardCheatChallenge;  // issue the other kind
    std::string answeringSession;
    int ttlsToWait;  // 1: just past the deadline; 3: past the remembered window
    bool breakSignature;
    Check expected;
    bool took;  // the answer took the challenge
    Check honestAfter;
  };
  const Case cases[] = {
      {"answered by another session", false, "s2", 0, false, Check::kChallengeWrongSession,
       true, Check::kChallengeUsed},
      {"a hard-cheat challenge used for a login", true, "s1", 0, false,
       Check::kChallengeWrongKind, true, Check::kChallengeUsed},
      {"answered after its time to live", false, "s1", 1, false, Check::kChallengeExpired, false,
       Check::kChallengeExpired},
      {"answered long after: forgotten", false, "s1", 3, false, Check::kChallengeUnknown, false,
       Check::kChallengeUnknown},
      {"a forged signature", false, "s1", 0, true, Check::kSignatureMismatch, true,
       Check::kChallengeUsed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const ChallengeStoreOptions options = c.ttlsToWait > 0 ? ShortLived() : ChallengeStoreOptions{};
    auto store = MakeStore(options);
    const Challenge challenge =
        c.hardCheatChallenge ? IssueHardCheat(*store, "s1") : IssueLogin(*store, "s1");
    LoginAnswer sent = testing::SignLoginAnswer(device_, challenge);
    if (c.breakSignature) sent.signature[40] ^= 1;
    // Signed anew, so never the same bytes as the one sent.
    const LoginAnswer honest = testing::SignLoginAnswer(device_, challenge);
    if (c.ttlsToWait > 0) LetTimePass(options.loginTtl * c.ttlsToWait + 100ms);
    EXPECT_EQ(store->VerifyLoginProof(c.answeringSession, sent, {}).check, c.expected);
    const Verdict again = store->VerifyLoginProof(c.answeringSession, sent, {});
    EXPECT_EQ(again.check, c.expected);
    EXPECT_EQ(again.repeat, c.took);
    EXPECT_EQ(store->VerifyLoginProof("s1", honest, {}).check, c.honestAfter);
  }
}

TEST_P(ChallengeStoreSuite, RefusesWhatNeverWasAChallenge) {
  auto store = MakeStore();
  const Challenge challenge = IssueLogin(*store, "s1");
  LoginAnswer answer = testing::SignLoginAnswer(device_, challenge);
  Challenge unused;
  EXPECT_EQ(store->IssueLoginChallenge("", 62, kNewestClientBuild, unused).check,
            Check::kSessionInvalid);
  EXPECT_EQ(store->IssueLoginChallenge(std::string(kMaxSessionSize + 1, 's'), 62,
                                       kNewestClientBuild, unused).check,
            Check::kSessionInvalid);
  EXPECT_EQ(store->IssueLoginChallenge("s1", 63, kNewestClientBuild, unused).check,
            Check::kChallengeBuildOutOfRange);
  answer.challengeId[0] ^= 1;
  EXPECT_EQ(store->VerifyLoginProof("s1", answer, {}).check, Check::kChallengeUnknown);
  answer.challengeId.pop_back();
  EXPECT_EQ(store->VerifyLoginProof("s1", answer, {}).check, Check::kWrongLength);
  // Neither touched the real one.
  EXPECT_EQ(store->VerifyLoginProof("s1", testing::SignLoginAnswer(device_, challenge), {}).check,
            Check::kOk);
}

// The guard signs every new challenge with the same report id until the
// acknowledgement arrives: the id stays with the session that first sent
// it until the server confirms the acknowledgement was sent.
TEST_P(ChallengeStoreSuite, BindsAVerifiedReportIdToItsSessionUntilAcknowledged) {
  auto store = MakeStore();
  const Raw reportId = testing::Pattern(16, 0x61);
  HardCheatPolicy policy;
  policy.evidence = testing::DebuggerEvidence();
  HardCheatReport report;

  const Challenge first = IssueHardCheat(*store, "s1");
  const Raw firstReport = testing::SignHardCheatReport(device_, first, reportId);
  EXPECT_EQ(store->VerifyHardCheatReport("s1", firstReport, policy, report).check, Check::kOk);
  EXPECT_EQ(report.reportId, reportId);
  const Verdict retried = store->VerifyHardCheatReport("s1", firstReport, policy, report);
  EXPECT_EQ(retried.check, Check::kOk);
  EXPECT_TRUE(retried.repeat);
  EXPECT_EQ(store->VerifyHardCheatReport("s2", firstReport, policy, report).check,
            Check::kChallengeUsed);

  const Challenge second = IssueHardCheat(*store, "s1");
  EXPECT_EQ(store->VerifyHardCheatReport(
                "s1", testing::SignHardCheatReport(device_, second, reportId), policy, report)
                .check,
            Check::kOk);
  const Challenge elsewhere = IssueHardCheat(*store, "s2");
  const Raw elsewhereReport = testing::SignHardCheatReport(device_, elsewhere, reportId);
  EXPECT_EQ(store->VerifyHardCheatReport("s2", elsewhereReport, policy, report).check,
            Check::kReportWrongSession);
  EXPECT_EQ(report.reportId, reportId);  // the fields come back on rejection too

  EXPECT_EQ(store->ConfirmAcknowledgementSent("s2", reportId).check, Check::kReportWrongSession);
  EXPECT_EQ(store->ConfirmAcknowledgementSent("s1", reportId).check, Check::kOk);
  EXPECT_EQ(store->ConfirmAcknowledgementSent("s1", reportId).check, Check::kReportUnknown);
  EXPECT_EQ(store->ConfirmAcknowledgementSent("s1", Raw(15, 1)).check, Check::kWrongLength);

  // Released: the id is free, and a login challenge cannot carry a report.
  const Challenge again = IssueHardCheat(*store, "s2");
  EXPECT_EQ(store->VerifyHardCheatReport(
                "s2", testing::SignHardCheatReport(device_, again, reportId), policy, report)
                .check,
            Check::kOk);
  const Challenge login = IssueLogin(*store, "s2");
  EXPECT_EQ(store->VerifyHardCheatReport(
                "s2", testing::SignHardCheatReport(device_, login, reportId), policy, report)
                .check,
            Check::kChallengeWrongKind);
  EXPECT_EQ(store->VerifyHardCheatReport("s2", Raw(240, 1), policy, report).check,
            Check::kWrongLength);
}

// Full means: no new challenge, and nothing issued is dropped for room.
// Room comes back as the held entries run out of time.
TEST_P(ChallengeStoreSuite, WhenFullRefusesNewChallengesAndKeepsTheIssuedOnes) {
  ChallengeStoreOptions options = ShortLived();
  options.maxEntries = 3;
  auto store = MakeStore(options);
  std::vector<Challenge> issued;
  for (int i = 0; i < 3; ++i) issued.push_back(IssueLogin(*store, "s1"));
  Challenge refused;
  EXPECT_EQ(store->IssueLoginChallenge("s1", 62, kNewestClientBuild, refused).check,
            Check::kStoreFull);
  EXPECT_TRUE(refused.id.empty());
  // A used challenge is still remembered, so it still takes room.
  EXPECT_EQ(store->VerifyLoginProof("s1", testing::SignLoginAnswer(device_, issued[0]), {}).check,
            Check::kOk);
  EXPECT_EQ(store->IssueHardCheatChallenge("s1", 62, kNewestClientBuild, refused).check,
            Check::kStoreFull);
  EXPECT_EQ(store->VerifyLoginProof("s1", testing::SignLoginAnswer(device_, issued[2]), {}).check,
            Check::kOk);

  LetTimePass(options.loginTtl * 2 + 100ms);
  IssueLogin(*store, "s1");
}

// Many servers' threads race for the same challenges, each with a proof
// of its own (signed anew): each challenge is accepted exactly once. When
// they all send the same proof (one call retried everywhere at once), one
// acceptance is fresh and the others are its repeats, none a replay.
TEST_P(ChallengeStoreSuite, EachChallengeIsTakenOnceUnderConcurrentAnswers) {
  auto store = MakeStore();
  constexpr int kChallenges = 40;
  constexpr int kThreads = 6;
  for (const bool sameProof : {false, true}) {
    SCOPED_TRACE(sameProof ? "the same proof" : "a proof of each thread's own");
    std::vector<Challenge> challenges;
    for (int i = 0; i < kChallenges; ++i) challenges.push_back(IssueLogin(*store, "s1"));
    std::vector<std::vector<LoginAnswer>> answers(kThreads);
    for (int t = 0; t < kThreads; ++t) {
      for (const Challenge& challenge : challenges) {
        answers[t].push_back(sameProof && t > 0 ? answers[0][answers[t].size()]
                                                : testing::SignLoginAnswer(device_, challenge));
      }
    }
    std::atomic<int> accepted{0};
    std::atomic<int> repeats{0};
    std::atomic<int> replays{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (const LoginAnswer& answer : answers[t]) {
          const Verdict verdict = store->VerifyLoginProof("s1", answer, {});
          if (verdict.ok()) ++(verdict.repeat ? repeats : accepted);
          if (verdict.check == Check::kChallengeUsed) ++replays;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(accepted.load(), kChallenges);
    EXPECT_EQ(repeats.load(), sameProof ? kChallenges * (kThreads - 1) : 0);
    EXPECT_EQ(replays.load(), sameProof ? 0 : kChallenges * (kThreads - 1));
  }
}

// A verified report whose id cannot be bound for want of room judged
// nothing (store-full), though it took its challenge: the same report sent
// again is judged again rather than refused as a replay, and once there is
// room it is accepted, as a repeat.
TEST_P(ChallengeStoreSuite, AReportRefusedForRoomIsAcceptedOnItsRetry) {
  ChallengeStoreOptions options = ShortLived();
  options.hardCheatTtl = std::chrono::minutes(10);
  options.maxEntries = 2;
  auto store = MakeStore(options);
  IssueLogin(*store, "s1");  // short-lived: makes room once forgotten
  const Challenge challenge = IssueHardCheat(*store, "s1");
  const Raw sent = testing::SignHardCheatReport(device_, challenge, testing::Pattern(16, 0x44));
  HardCheatReport report;

  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    const Verdict full = store->VerifyHardCheatReport("s1", sent, {}, report);
    EXPECT_EQ(full.check, Check::kStoreFull);
  }
  LetTimePass(options.loginTtl * 2 + 100ms);
  const Verdict accepted = store->VerifyHardCheatReport("s1", sent, {}, report);
  EXPECT_EQ(accepted.check, Check::kOk);
  EXPECT_TRUE(accepted.repeat);
  EXPECT_TRUE(store->VerifyHardCheatReport("s1", sent, {}, report).repeat);
  EXPECT_EQ(store->VerifyHardCheatReport("s2", sent, {}, report).check, Check::kChallengeUsed);
  EXPECT_EQ(store->ConfirmAcknowledgementSent("s1", testing::Pattern(16, 0x44)).check,
            Check::kOk);
}

INSTANTIATE_TEST_SUITE_P(BothStores, ChallengeStoreSuite,
                         ::testing::Values(Backend::kMemory, Backend::kRedis),
                         [](const ::testing::TestParamInfo<Backend>& info) {
                           return info.param == Backend::kMemory ? "Memory" : "Redis";
                         });

}  // namespace
}  // namespace zarnel::serverkit
