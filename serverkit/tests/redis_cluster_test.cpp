// The Redis store on a Redis Cluster of three primaries started by the
// test: keys spread over the nodes, each script on one hash slot, a slot
// migrated while logins go on, and a node out of memory.
#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "redis_challenge_store.h"
#include "redis_key_slot.h"
#include "redis_server.h"
#include "sha256.h"
#include "signed_answers.h"

namespace zarnel::serverkit {
namespace {

// The expected slots are Redis's own (CLUSTER KEYSLOT).
TEST(RedisKeySlot, IsRedissSlotHonouringTheFirstHashTag) {
  const struct {
    const char* key;
    int slot;
  } cases[] = {
      {"", 0},
      {"foo", 12182},
      {"bar", 5061},
      {"123456789", 12739},
      {"{user1000}.following", 3443},
      {"user1000", 3443},
      {"foo{bar}{zap}", 5061},   // the first tag only
      {"foo{}{bar}", 8363},      // an empty first tag: the whole key
      {"foo{{bar}}zap", 4015},   // the tag is "{bar"
      {"{}", 15257},
      {"a{b", 13340},            // no closing brace: the whole key
      {"{", 4092},
      {"}{x}", 16287},
      {"zarnel:challenge:{00ff}", 1184},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(RedisKeySlot(c.key), c.slot);
  }
}

class ClusterStore : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    std::vector<testing::RedisServer*> nodes;
    for (testing::RedisServer& node : nodes_) {
      // The bus port too is a free one: the default, the port plus
      // 10000, may be taken or past 65535.
      node.AddArguments({"--cluster-enabled", "yes", "--cluster-config-file", "nodes.conf",
                         "--cluster-node-timeout", "2000", "--cluster-port",
                         std::to_string(testing::FreeLocalPort())});
      ASSERT_TRUE(node.Start(error)) << error;
      nodes.push_back(&node);
    }
    ASSERT_TRUE(testing::CreateCluster(nodes, error)) << error;
  }

  RedisStoreAddress Address(const std::string& prefix) const {
    RedisStoreAddress address;
    std::string error;
    // One seed is enough: the store learns the rest from it.
    EXPECT_TRUE(ParseRedisStoreUrl(
        "redis-cluster://127.0.0.1:" + std::to_string(nodes_[1].port()) + "/" + prefix, address,
        error))
        << error;
    address.timeout = std::chrono::milliseconds(2000);
    return address;
  }

  // The node that serves `key`'s slot: the one that does not answer MOVED.
  testing::RedisServer* OwnerOf(const std::string& key) {
    for (testing::RedisServer& node : nodes_) {
      std::string reply;
      if (node.Run({"TYPE", key}, reply) && reply.rfind("MOVED", 0) != 0) return &node;
    }
    return nullptr;
  }

  static std::string NodeId(const testing::RedisServer& node) {
    std::string id;
    EXPECT_TRUE(node.Run({"CLUSTER", "MYID"}, id));
    return id;
  }

  // The store's key of a session's open set.
  static std::string OpenSessionKey(const std::string& prefix, const std::string& session) {
    Bytes digest;
    EXPECT_TRUE(Sha256(reinterpret_cast<const std::uint8_t*>(session.data()), session.size(),
                       digest));
    digest.resize(16);
    return prefix + ":open-session:{" + ToHex(digest) + "}";
  }

  testing::RedisServer nodes_[3];
  const testing::TestDeviceKey device_ = testing::MakeTestDeviceKey();
};

TEST_F(ClusterStore, LoginsAndReportsAreVerifiedOnceAcrossTheNodes) {
  RedisChallengeStore store(Address("spread"));
  EXPECT_TRUE(store.Ping().ok());
  std::size_t held = 0;
  EXPECT_EQ(store.HeldEntries(ChallengeKind::kLogin, held).check, Check::kStoreUnavailable);
  for (int i = 0; i < 30; ++i) {
    SCOPED_TRACE(i);
    const std::string session = "s" + std::to_string(i);
    Challenge challenge;
    ASSERT_TRUE(store.IssueLoginChallenge(session, 62, kNewestClientBuild, challenge).ok());
    const LoginAnswer answer = testing::SignLoginAnswer(device_, challenge);
    EXPECT_EQ(store.VerifyLoginProof(session, answer, {}).check, Check::kOk);
    const Verdict repeated = store.VerifyLoginProof(session, answer, {});
    EXPECT_EQ(repeated.check, Check::kOk);
    EXPECT_TRUE(repeated.repeat);
    EXPECT_EQ(store.VerifyLoginProof(session, testing::SignLoginAnswer(device_, challenge), {})
                  .check,
              Check::kChallengeUsed);
  }
  // Thirty challenges and twice as many open sets land on every node.
  for (const testing::RedisServer& node : nodes_) {
    std::string keys;
    ASSERT_TRUE(node.Run({"DBSIZE"}, keys));
    EXPECT_GT(std::stoi(keys), 0) << node.port();
  }

  Challenge hardCheat;
  ASSERT_TRUE(store.IssueHardCheatChallenge("s1", 62, kNewestClientBuild, hardCheat).ok());
  const testing::Raw reportId = testing::Pattern(16, 9);
  HardCheatReport report;
  EXPECT_EQ(store.VerifyHardCheatReport(
                     "s1", testing::SignHardCheatReport(device_, hardCheat, reportId), {}, report)
                .check,
            Check::kOk);
  Challenge other;
  ASSERT_TRUE(store.IssueHardCheatChallenge("s2", 62, kNewestClientBuild, other).ok());
  EXPECT_EQ(store.VerifyHardCheatReport(
                     "s2", testing::SignHardCheatReport(device_, other, reportId), {}, report)
                .check,
            Check::kReportWrongSession);
  EXPECT_EQ(store.ConfirmAcknowledgementSent("s2", reportId).check, Check::kReportWrongSession);
  EXPECT_EQ(store.ConfirmAcknowledgementSent("s1", reportId).check, Check::kOk);
  EXPECT_EQ(store.ConfirmAcknowledgementSent("s1", reportId).check, Check::kReportUnknown);
}

// The open marks live on other nodes than the challenge: an issue refused
// at a later step gives back what it reserved, and a take gives back both
// marks, or the limits would fill with challenges no longer open.
TEST_F(ClusterStore, LimitsCountOpenChallengesAndGetTheirRoomBack) {
  ChallengeStoreOptions options;
  options.maxOpenPerSession = 2;
  options.maxOpenPerCaller = 3;
  RedisChallengeStore store(Address("limits"), options);
  std::vector<std::pair<std::string, Challenge>> open;
  const auto issue = [&](const std::string& session) {
    Challenge challenge;
    const Verdict verdict =
        store.IssueLoginChallenge(session, 62, kNewestClientBuild, challenge, "backend");
    if (verdict.ok()) open.emplace_back(session, challenge);
    return verdict.check;
  };
  EXPECT_EQ(issue("a"), Check::kOk);
  EXPECT_EQ(issue("a"), Check::kOk);
  EXPECT_EQ(issue("a"), Check::kSessionLimit);
  EXPECT_EQ(issue("b"), Check::kOk);
  EXPECT_EQ(issue("b"), Check::kCallerLimit);  // b's own mark was reserved, then given back
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(store.VerifyLoginProof(open[i].first, testing::SignLoginAnswer(device_, open[i].second),
                                     {})
                  .check,
              Check::kOk);
  }
  EXPECT_EQ(issue("b"), Check::kOk);
  EXPECT_EQ(issue("a"), Check::kOk);
  EXPECT_EQ(issue("c"), Check::kCallerLimit);
}

// Four workers issuing and verifying logins until stopped, each failure
// noted; stopped at the latest when the test ends, a failed ASSERT too.
class LoginStream {
 public:
  LoginStream(RedisChallengeStore& store, const testing::TestDeviceKey& device) {
    for (int worker = 0; worker < 4; ++worker) {
      workers_.emplace_back([this, &store, &device, worker] {
        const std::string session = "worker" + std::to_string(worker);
        while (!stop_) {
          Challenge challenge;
          Verdict verdict = store.IssueLoginChallenge(session, 62, kNewestClientBuild, challenge);
          if (verdict.ok()) {
            verdict =
                store.VerifyLoginProof(session, testing::SignLoginAnswer(device, challenge), {});
          }
          if (verdict.ok()) {
            verified_.fetch_add(1);
            continue;
          }
          std::lock_guard<std::mutex> lock(mutex_);
          failures_.push_back(std::string(CheckName(verdict.check)) + ": " + verdict.detail);
        }
      });
    }
  }
  ~LoginStream() { Stop(); }

  int verified() const { return verified_.load(); }

  std::vector<std::string> Stop() {
    stop_ = true;
    for (std::thread& worker : workers_) {
      if (worker.joinable()) worker.join();
    }
    return failures_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> verified_{0};
  std::mutex mutex_;
  std::vector<std::string> failures_;
  std::vector<std::thread> workers_;
};

// One slot is migrated to another node while four workers issue and
// verify: a challenge issued before and an open set created during the
// migration are reached through ASK while their slot is split, through
// MOVED once it has moved, and nothing fails on the way.
TEST_F(ClusterStore, FollowsASlotMovedDuringARun) {
  const std::string prefix = "moving";
  ChallengeStoreOptions options;
  options.maxOpenPerSession = 1;
  RedisChallengeStore store(Address(prefix), options);

  LoginStream stream(store, device_);
  ASSERT_TRUE(testing::WaitFor([&] { return stream.verified() >= 20; }, 60));

  Challenge before;
  ASSERT_TRUE(store.IssueLoginChallenge("before", 62, kNewestClientBuild, before).ok());
  const std::string key = prefix + ":challenge:{" + testing::Hex(before.id) + "}";
  const int slot = RedisKeySlot(key);
  testing::RedisServer* source = OwnerOf(key);
  ASSERT_NE(source, nullptr);
  testing::RedisServer* target = source == &nodes_[0] ? &nodes_[1] : &nodes_[0];
  // A session whose open set falls into the same slot, created mid-way.
  std::string during;
  for (int i = 0; during.empty(); ++i) {
    const std::string name = "during" + std::to_string(i);
    if (RedisKeySlot(OpenSessionKey(prefix, name)) == slot) during = name;
  }

  std::string reply;
  const std::string slotText = std::to_string(slot);
  ASSERT_TRUE(target->Run({"CLUSTER", "SETSLOT", slotText, "IMPORTING", NodeId(*source)}, reply));
  ASSERT_EQ(reply, "OK");
  ASSERT_TRUE(source->Run({"CLUSTER", "SETSLOT", slotText, "MIGRATING", NodeId(*target)}, reply));
  ASSERT_EQ(reply, "OK");
  // The source has no such set: the reservation is asked to the target.
  Challenge duringChallenge;
  ASSERT_TRUE(store.IssueLoginChallenge(during, 62, kNewestClientBuild, duringChallenge).ok());
  ASSERT_TRUE(target->Run({"CLUSTER", "COUNTKEYSINSLOT", slotText}, reply));
  EXPECT_EQ(reply, "1");
  // The challenge moves; the source then answers ASK for it.
  ASSERT_TRUE(source->Run({"MIGRATE", "127.0.0.1", std::to_string(target->port()), "", "0",
                           "5000", "KEYS", key},
                          reply));
  ASSERT_EQ(reply, "OK");
  EXPECT_EQ(store.VerifyLoginProof("before", testing::SignLoginAnswer(device_, before), {}).check,
            Check::kOk);

  for (testing::RedisServer* node : {target, source}) {
    ASSERT_TRUE(node->Run({"CLUSTER", "SETSLOT", slotText, "NODE", NodeId(*target)}, reply));
    ASSERT_EQ(reply, "OK");
  }
  for (testing::RedisServer& node : nodes_) {
    if (&node != source && &node != target) {
      node.Run({"CLUSTER", "SETSLOT", slotText, "NODE", NodeId(*target)}, reply);
    }
  }
  // The take of the session's challenge gives back its mark on the moved
  // slot (MOVED): with one open challenge allowed, the next issue passes.
  EXPECT_EQ(store.VerifyLoginProof(during, testing::SignLoginAnswer(device_, duringChallenge), {})
                .check,
            Check::kOk);
  Challenge after;
  EXPECT_EQ(store.IssueLoginChallenge(during, 62, kNewestClientBuild, after).check, Check::kOk);
  EXPECT_EQ(OwnerOf(key), target);

  const int atMove = stream.verified();
  EXPECT_TRUE(testing::WaitFor([&] { return stream.verified() >= atMove + 20; }, 60));
  const std::vector<std::string> failures = stream.Stop();
  EXPECT_TRUE(failures.empty()) << failures.size() << " failed, the first: " << failures.front();
}

// With maxmemory and noeviction a node out of memory refuses every write:
// an issue is store-full and records nothing, while a challenge already
// issued can still be answered once (its take deletes it rather than
// rewrite it), so a login under way is not failed by the flood.
TEST_F(ClusterStore, ANodeOutOfMemoryIsStoreFull) {
  RedisChallengeStore store(Address("full"));
  Challenge issued;
  ASSERT_TRUE(store.IssueLoginChallenge("s1", 62, kNewestClientBuild, issued).ok());
  std::string reply;
  for (testing::RedisServer& node : nodes_) {
    ASSERT_TRUE(node.Run({"CONFIG", "SET", "maxmemory-policy", "noeviction"}, reply));
    ASSERT_TRUE(node.Run({"CONFIG", "SET", "maxmemory", "1"}, reply));
    ASSERT_EQ(reply, "OK");
  }
  for (int i = 0; i < 5; ++i) {
    Challenge refused;
    const Verdict verdict =
        store.IssueLoginChallenge("s" + std::to_string(i), 62, kNewestClientBuild, refused);
    EXPECT_EQ(verdict.check, Check::kStoreFull) << verdict.detail;
    EXPECT_TRUE(refused.id.empty());
  }
  const LoginAnswer answer = testing::SignLoginAnswer(device_, issued);
  EXPECT_EQ(store.VerifyLoginProof("s1", answer, {}).check, Check::kOk);
  EXPECT_FALSE(store.VerifyLoginProof("s1", testing::SignLoginAnswer(device_, issued), {}).ok());
  EXPECT_FALSE(store.VerifyLoginProof("s1", answer, {}).ok());

  for (testing::RedisServer& node : nodes_) {
    ASSERT_TRUE(node.Run({"CONFIG", "SET", "maxmemory", "0"}, reply));
  }
  Challenge again;
  EXPECT_TRUE(store.IssueLoginChallenge("s1", 62, kNewestClientBuild, again).ok());
}

}  // namespace
}  // namespace zarnel::serverkit
