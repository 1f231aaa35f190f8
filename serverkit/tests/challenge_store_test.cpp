// One suite of the challenge lifecycle, run against both stores: the
// in-memory one with a clock the test moves, and the Redis one against a
// real redis-server, where time passes for real on short time-to-lives.
#include <atomic>
#include <chrono>
#include <functional>
#include <limits>
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

Verdict TryIssue(ChallengeStore& store, ChallengeKind kind, const std::string& session,
                 Challenge& out, const std::string& caller = std::string()) {
  return kind == ChallengeKind::kLogin
             ? store.IssueLoginChallenge(session, 62, kNewestClientBuild, out, caller)
             : store.IssueHardCheatChallenge(session, 62, kNewestClientBuild, out, caller);
}

Verdict TryIssue(ChallengeStore& store, ChallengeKind kind, const std::string& session,
                 const std::string& caller = std::string()) {
  Challenge unused;
  return TryIssue(store, kind, session, unused, caller);
}

Challenge Issue(ChallengeStore& store, ChallengeKind kind, const std::string& session,
                const std::string& caller = std::string()) {
  Challenge challenge;
  const Verdict verdict = TryIssue(store, kind, session, challenge, caller);
  EXPECT_TRUE(verdict.ok()) << verdict.check << ": " << verdict.detail;
  return challenge;
}

Challenge IssueLogin(ChallengeStore& store, const std::string& session,
                     const std::string& caller = std::string()) {
  return Issue(store, ChallengeKind::kLogin, session, caller);
}

Challenge IssueHardCheat(ChallengeStore& store, const std::string& session) {
  return Issue(store, ChallengeKind::kHardCheat, session);
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

// Full means: no new challenge of the kind that is full, and nothing
// issued is dropped for room. Each kind has its own part of the room, so a
// flood of one (hard-cheat challenges live longest) leaves the other kind
// issuing. Room comes back as the held entries run out of time.
TEST_P(ChallengeStoreSuite, AFullKindRefusesNewChallengesAndLeavesTheOtherKindItsRoom) {
  struct Case {
    const char* name;
    ChallengeKind flooded;
    const char* refusalNames;
    Check loginProofToIt;  // what a login proof to one of its challenges gets
  };
  const Case cases[] = {
      {"a hard-cheat flood", ChallengeKind::kHardCheat, "2 hard-cheat challenges",
       Check::kChallengeWrongKind},
      {"a login flood", ChallengeKind::kLogin, "2 login challenges", Check::kOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChallengeStoreOptions options = ShortLived();
    options.maxEntries = 4;  // two of each kind
    auto store = MakeStore(options);
    const ChallengeKind other = c.flooded == ChallengeKind::kLogin ? ChallengeKind::kHardCheat
                                                                   : ChallengeKind::kLogin;
    std::vector<Challenge> flood;
    for (int i = 0; i < 2; ++i) flood.push_back(Issue(*store, c.flooded, "flood-" + std::to_string(i)));
    Challenge refused;
    const Verdict full = TryIssue(*store, c.flooded, "flood-2", refused);
    EXPECT_EQ(full.check, Check::kStoreFull);
    EXPECT_NE(full.detail.find(c.refusalNames), std::string::npos) << full.detail;
    EXPECT_TRUE(refused.id.empty());

    Issue(*store, other, "honest-1");
    Issue(*store, other, "honest-2");
    EXPECT_EQ(TryIssue(*store, other, "honest-3").check, Check::kStoreFull);

    // A used challenge is still remembered, so it still takes room; the
    // other issued one is still there to be answered.
    EXPECT_EQ(store->VerifyLoginProof("flood-0", testing::SignLoginAnswer(device_, flood[0]), {})
                  .check,
              c.loginProofToIt);
    EXPECT_EQ(TryIssue(*store, c.flooded, "flood-2").check, Check::kStoreFull);
    EXPECT_EQ(store->VerifyLoginProof("flood-1", testing::SignLoginAnswer(device_, flood[1]), {})
                  .check,
              c.loginProofToIt);

    LetTimePass(options.loginTtl * 2 + 100ms);
    Issue(*store, c.flooded, "flood-2");
    Issue(*store, other, "honest-3");
  }
}

// A session holds at most maxOpenPerSession open challenges, of both kinds
// together; a take of one, whatever its verdict, or its expiry gives the
// place back. Another session is not held back.
TEST_P(ChallengeStoreSuite, ASessionHoldsItsMaximumOfOpenChallengesUntilOneIsTakenOrExpires) {
  const Raw reportId = testing::Pattern(16, 0x52);
  struct Case {
    const char* name;
    bool expires;
    // Frees places of the session's login and hard-cheat challenges.
    std::function<void(ChallengeStore&, const Challenge&, const Challenge&)> free;
    int freed;
  };
  const Case cases[] = {
      {"a proof verified", false,
       [&](ChallengeStore& store, const Challenge& login, const Challenge&) {
         EXPECT_EQ(store.VerifyLoginProof("s1", testing::SignLoginAnswer(device_, login), {}).check,
                   Check::kOk);
       },
       1},
      {"a forged proof burns its challenge", false,
       [&](ChallengeStore& store, const Challenge& login, const Challenge&) {
         LoginAnswer forged = testing::SignLoginAnswer(device_, login);
         forged.signature[40] ^= 1;
         EXPECT_EQ(store.VerifyLoginProof("s1", forged, {}).check, Check::kSignatureMismatch);
       },
       1},
      {"a proof from another session burns it", false,
       [&](ChallengeStore& store, const Challenge& login, const Challenge&) {
         EXPECT_EQ(store.VerifyLoginProof("s2", testing::SignLoginAnswer(device_, login), {}).check,
                   Check::kChallengeWrongSession);
       },
       1},
      {"a report verified", false,
       [&](ChallengeStore& store, const Challenge&, const Challenge& hardCheat) {
         HardCheatReport report;
         EXPECT_EQ(store
                       .VerifyHardCheatReport(
                           "s1", testing::SignHardCheatReport(device_, hardCheat, reportId), {},
                           report)
                       .check,
                   Check::kOk);
       },
       1},
      {"both past their time to live", true,
       [&](ChallengeStore& store, const Challenge&, const Challenge&) {
         LetTimePass(store.options().loginTtl + 100ms);
       },
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChallengeStoreOptions options = c.expires ? ShortLived() : ChallengeStoreOptions{};
    options.maxOpenPerSession = 2;
    auto store = MakeStore(options);
    const Challenge login = IssueLogin(*store, "s1");
    const Challenge hardCheat = IssueHardCheat(*store, "s1");
    Challenge refused;
    const Verdict limited = TryIssue(*store, ChallengeKind::kLogin, "s1", refused);
    EXPECT_EQ(limited.check, Check::kSessionLimit);
    EXPECT_NE(limited.detail.find("2 open challenges"), std::string::npos) << limited.detail;
    EXPECT_TRUE(refused.id.empty());
    IssueLogin(*store, "s2");

    c.free(*store, login, hardCheat);
    // Exactly the freed places: the refused issue recorded nothing.
    for (int i = 0; i < c.freed; ++i) IssueLogin(*store, "s1");
    EXPECT_EQ(TryIssue(*store, ChallengeKind::kHardCheat, "s1").check, Check::kSessionLimit);
  }
}

// A caller holds at most maxOpenPerCaller open challenges over all its
// sessions; another caller is not held back by it, and calls that name no
// caller are counted together, as one caller.
TEST_P(ChallengeStoreSuite, ACallerHoldsItsMaximumOfOpenChallengesAndOthersStillIssue) {
  struct Case {
    const char* name;
    std::string caller;
    std::string other;
  };
  const Case cases[] = {
      {"a backend's name", "backend-a", "backend-b"},
      {"a name of any bytes", std::string("CN=a b\n\0\xff", 9), std::string("CN=a b\n\0\xfe", 9)},
      {"no caller known", "", "backend-a"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ChallengeStoreOptions options;
    options.maxOpenPerCaller = 3;
    auto store = MakeStore(options);
    std::vector<Challenge> open;
    for (int i = 0; i < 3; ++i) open.push_back(IssueLogin(*store, "s" + std::to_string(i), c.caller));
    Challenge refused;
    const Verdict limited = TryIssue(*store, ChallengeKind::kHardCheat, "s3", refused, c.caller);
    EXPECT_EQ(limited.check, Check::kCallerLimit);
    EXPECT_NE(limited.detail.find("3 open challenges"), std::string::npos) << limited.detail;
    EXPECT_TRUE(refused.id.empty());
    IssueLogin(*store, "s3", c.other);

    EXPECT_EQ(store->VerifyLoginProof("s0", testing::SignLoginAnswer(device_, open[0]), {}).check,
              Check::kOk);
    IssueLogin(*store, "s4", c.caller);
    EXPECT_EQ(TryIssue(*store, ChallengeKind::kLogin, "s5", c.caller).check, Check::kCallerLimit);
  }
}

// Many servers' threads race for the same challenges, each with a proof
// of its own (signed anew): each challenge is accepted exactly once. When
// they all send the same proof (one call retried everywhere at once), one
// acceptance is fresh and the others are its repeats, none a replay.
TEST_P(ChallengeStoreSuite, EachChallengeIsTakenOnceUnderConcurrentAnswers) {
  constexpr int kChallenges = 40;
  ChallengeStoreOptions options;
  options.maxOpenPerSession = kChallenges;
  auto store = MakeStore(options);
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
// room (another report's id released) it is accepted, as a repeat.
TEST_P(ChallengeStoreSuite, AReportRefusedForRoomIsAcceptedOnItsRetry) {
  ChallengeStoreOptions options;
  options.maxEntries = 6;  // three hard-cheat entries: two challenges and one binding
  auto store = MakeStore(options);
  const Challenge first = IssueHardCheat(*store, "s1");
  const Challenge challenge = IssueHardCheat(*store, "s1");
  HardCheatReport report;
  ASSERT_EQ(store
                ->VerifyHardCheatReport(
                    "s1", testing::SignHardCheatReport(device_, first, testing::Pattern(16, 0x43)),
                    {}, report)
                .check,
            Check::kOk);
  const Raw sent = testing::SignHardCheatReport(device_, challenge, testing::Pattern(16, 0x44));

  for (int attempt = 0; attempt < 2; ++attempt) {
    SCOPED_TRACE(attempt);
    const Verdict full = store->VerifyHardCheatReport("s1", sent, {}, report);
    EXPECT_EQ(full.check, Check::kStoreFull);
    EXPECT_NE(full.detail.find("report bindings"), std::string::npos) << full.detail;
  }
  EXPECT_EQ(store->ConfirmAcknowledgementSent("s1", testing::Pattern(16, 0x43)).check,
            Check::kOk);
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

// Hard-cheat challenges (with the report bindings) get their share of
// maxEntries, rounded down, logins the rest; neither kind is left without
// room, and no size overflows the split.
TEST(MaxEntriesOf, SplitsTheRoomByTheHardCheatShare) {
  constexpr std::size_t kLargest = std::numeric_limits<std::size_t>::max();
  struct Case {
    std::size_t maxEntries;
    unsigned share;
    std::size_t login;
    std::size_t hardCheat;
  };
  const Case cases[] = {
      {1'000'000, 50, 500'000, 500'000},
      {1'000'000, 20, 800'000, 200'000},
      {10, 33, 7, 3},
      {3, 50, 2, 1},
      {2, 1, 1, 1},
      {2, 99, 1, 1},
      {1, 50, 1, 0},
      {kLargest, 50, kLargest - kLargest / 2, kLargest / 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.maxEntries) + " at " + std::to_string(c.share) + "%");
    ChallengeStoreOptions options;
    options.maxEntries = c.maxEntries;
    options.hardCheatSharePercent = c.share;
    EXPECT_EQ(MaxEntriesOf(options, ChallengeKind::kLogin), c.login);
    EXPECT_EQ(MaxEntriesOf(options, ChallengeKind::kHardCheat), c.hardCheat);
  }
}

}  // namespace
}  // namespace zarnel::serverkit
