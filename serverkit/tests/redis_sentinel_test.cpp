// The Redis store behind Sentinel: a primary, one replica and three
// sentinels, all started by the test. A take counts once a replica has it,
// and a failover in the middle of a stream of logins accepts no challenge
// twice.
#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "redis_challenge_store.h"
#include "redis_server.h"
#include "signed_answers.h"

namespace zarnel::serverkit {
namespace {

constexpr char kPrimaryName[] = "zarnel-primary";

class SentinelStore : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(primary_.Start(error)) << error;
    replica_.AddArguments({"--replicaof", "127.0.0.1", std::to_string(primary_.port())});
    ASSERT_TRUE(replica_.Start(error)) << error;
    ASSERT_TRUE(testing::WaitFor([&] { return LinkUp(replica_); }, 30)) << "the replica never synced";
    for (testing::RedisServer& sentinel : sentinels_) {
      sentinel.MonitorAsSentinel(kPrimaryName, primary_.port(), 2);
      ASSERT_TRUE(sentinel.Start(error)) << error;
    }
    // A failover needs each sentinel to know the replica and the others.
    ASSERT_TRUE(testing::WaitFor([&] { return SentinelsKnowEachOther(); }, 30))
        << "the sentinels never found the replica and each other";
  }

  static bool LinkUp(const testing::RedisServer& replica) {
    std::string info;
    return replica.Run({"INFO", "replication"}, info) &&
           info.find("master_link_status:up") != std::string::npos;
  }

  bool SentinelsKnowEachOther() const {
    for (const testing::RedisServer& sentinel : sentinels_) {
      std::string master;
      if (!sentinel.Run({"SENTINEL", "master", kPrimaryName}, master) ||
          master.find("num-slaves 1") == std::string::npos ||
          master.find("num-other-sentinels 2") == std::string::npos) {
        return false;
      }
    }
    return true;
  }

  // The port every sentinel names for the primary, or 0 while they differ.
  int NamedPrimary() const {
    int port = -1;
    for (const testing::RedisServer& sentinel : sentinels_) {
      std::string address;
      if (!sentinel.Run({"SENTINEL", "get-master-addr-by-name", kPrimaryName}, address)) return 0;
      const int named = std::atoi(address.substr(address.find(' ') + 1).c_str());
      if (port >= 0 && named != port) return 0;
      port = named;
    }
    return port;
  }

  RedisStoreAddress Address(const std::string& prefix) const {
    std::string url = "redis-sentinel://";
    for (const testing::RedisServer& sentinel : sentinels_) {
      url += (url.back() == '/' ? "" : ",") + std::string("127.0.0.1:") +
             std::to_string(sentinel.port());
    }
    url += std::string("/") + kPrimaryName + "/" + prefix;
    RedisStoreAddress address;
    std::string error;
    EXPECT_TRUE(ParseRedisStoreUrl(url, address, error)) << error;
    address.timeout = std::chrono::milliseconds(1000);
    return address;
  }

  testing::RedisServer primary_;
  testing::RedisServer replica_;
  testing::RedisServer sentinels_[3];
  const testing::TestDeviceKey device_ = testing::MakeTestDeviceKey();
};

// While the replica answers nothing, no take can be acknowledged: the
// answer is store-unavailable, never a verdict. Its retry, once the
// replica is back, gets the verdict (the take had run on the primary); any
// other answer to the challenge is still a replay.
TEST_F(SentinelStore, ATakeIsJudgedOnlyOnceAReplicaHasIt) {
  RedisChallengeStore store(Address("wait"));
  Challenge challenge;
  ASSERT_TRUE(store.IssueLoginChallenge("s1", 62, kNewestClientBuild, challenge).ok());
  const LoginAnswer answer = testing::SignLoginAnswer(device_, challenge);

  replica_.Pause();
  const Verdict unacknowledged = store.VerifyLoginProof("s1", answer, {});
  replica_.Resume();
  EXPECT_EQ(unacknowledged.check, Check::kStoreUnavailable) << unacknowledged.detail;
  EXPECT_NE(unacknowledged.detail.find("replica"), std::string::npos) << unacknowledged.detail;

  ASSERT_TRUE(testing::WaitFor([&] { return LinkUp(replica_); }, 30));
  const Verdict retried = store.VerifyLoginProof("s1", answer, {});
  EXPECT_EQ(retried.check, Check::kOk) << retried.detail;
  EXPECT_TRUE(retried.repeat);
  EXPECT_EQ(store.VerifyLoginProof("s1", testing::SignLoginAnswer(device_, challenge), {}).check,
            Check::kChallengeUsed);
  // The replica holds the take itself, so a failover to it keeps it.
  std::string value;
  ASSERT_TRUE(replica_.Run({"GET", "wait:challenge:" + testing::Hex(challenge.id)}, value));
  EXPECT_EQ(value.rfind("taken ", 0), 0u) << value;
}

// What one challenge of the stream got: the verdicts of its answer (a
// retry after store-unavailable sends the same answer again) and of a
// second signature of it, a replay.
struct Outcome {
  std::vector<Verdict> answer;
  std::vector<Verdict> replay;
};

class FailoverStream {
 public:
  FailoverStream(RedisChallengeStore& store, const testing::TestDeviceKey& device)
      : store_(store), device_(device) {}

  void Start(int workers) {
    for (int worker = 0; worker < workers; ++worker) {
      threads_.emplace_back([this, worker] { Run("worker" + std::to_string(worker)); });
    }
  }

  // At the latest when the test ends, a failed ASSERT too.
  ~FailoverStream() { Stop(); }

  void Stop() {
    stop_ = true;
    for (std::thread& thread : threads_) {
      if (thread.joinable()) thread.join();
    }
  }

  // Challenges whose answer was accepted.
  int accepted() const { return accepted_.load(); }

  std::map<std::string, Outcome> outcomes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return outcomes_;
  }

 private:
  // Sends `call` until it is no longer store-unavailable or the stream
  // stops; every verdict is kept.
  template <typename Call>
  Verdict Settled(std::vector<Verdict>& verdicts, Call call) {
    for (;;) {
      Verdict verdict = call();
      {
        std::lock_guard<std::mutex> lock(mutex_);
        verdicts.push_back(verdict);
      }
      if (verdict.check != Check::kStoreUnavailable || stop_) return verdict;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  void Run(const std::string& session) {
    while (!stop_) {
      Challenge challenge;
      if (!store_.IssueLoginChallenge(session, 62, kNewestClientBuild, challenge).ok()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        continue;
      }
      Outcome* outcome = nullptr;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        outcome = &outcomes_[testing::Hex(challenge.id)];
      }
      const LoginAnswer answer = testing::SignLoginAnswer(device_, challenge);
      const Verdict verdict =
          Settled(outcome->answer, [&] { return store_.VerifyLoginProof(session, answer, {}); });
      if (verdict.ok()) accepted_.fetch_add(1);
      const LoginAnswer replay = testing::SignLoginAnswer(device_, challenge);
      Settled(outcome->replay, [&] { return store_.VerifyLoginProof(session, replay, {}); });
    }
  }

  RedisChallengeStore& store_;
  const testing::TestDeviceKey& device_;
  std::atomic<bool> stop_{false};
  std::atomic<int> accepted_{0};
  std::mutex mutex_;
  std::map<std::string, Outcome> outcomes_;  // std::map: its nodes stay put
  std::vector<std::thread> threads_;
};

// The primary is failed over while logins stream in: by Sentinel's own
// command (the old primary then follows the new one), or by killing it
// (restarted afterwards: Sentinel makes it the new primary's replica, and
// until then no take can be acknowledged). Calls in between are
// store-unavailable; none is accepted twice; the store finds the new
// primary by itself.
TEST_F(SentinelStore, AFailoverInAStreamAcceptsNoChallengeTwice) {
  for (const bool kill : {false, true}) {
    SCOPED_TRACE(kill ? "the primary killed" : "SENTINEL FAILOVER");
    testing::RedisServer& before = NamedPrimary() == primary_.port() ? primary_ : replica_;
    testing::RedisServer& after = &before == &primary_ ? replica_ : primary_;
    ASSERT_EQ(NamedPrimary(), before.port());
    ASSERT_TRUE(testing::WaitFor([&] { return SentinelsKnowEachOther(); }, 30));
    RedisChallengeStore store(Address(kill ? "killed" : "failover"));
    FailoverStream stream(store, device_);
    stream.Start(4);
    ASSERT_TRUE(testing::WaitFor([&] { return stream.accepted() >= 20; }, 60))
        << "the stream did not start";

    std::string reply;
    if (kill) {
      before.Stop();
    } else {
      ASSERT_TRUE(sentinels_[0].Run({"SENTINEL", "FAILOVER", kPrimaryName}, reply));
      EXPECT_EQ(reply, "OK");
    }
    EXPECT_TRUE(testing::WaitFor([&] { return NamedPrimary() == after.port(); }, 60))
        << "Sentinel never promoted the replica";
    if (kill) {
      std::string error;
      ASSERT_TRUE(before.Start(error, before.port())) << error;
    }
    EXPECT_TRUE(testing::WaitFor([&] { return LinkUp(before); }, 60))
        << "the old primary never followed the new one";
    const int acceptedAtFailover = stream.accepted();
    EXPECT_TRUE(testing::WaitFor([&] { return stream.accepted() >= acceptedAtFailover + 20; }, 60))
        << "the store never served again after the failover";
    stream.Stop();

    for (const auto& [id, outcome] : stream.outcomes()) {
      SCOPED_TRACE(id);
      for (const Verdict& verdict : outcome.replay) {
        EXPECT_FALSE(verdict.ok()) << "a replay was accepted";
      }
      int fresh = 0;
      for (const Verdict& verdict : outcome.answer) {
        if (verdict.ok() && !verdict.repeat) ++fresh;
      }
      EXPECT_LE(fresh, 1);
    }
  }
}

}  // namespace
}  // namespace zarnel::serverkit
