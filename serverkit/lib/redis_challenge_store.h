// The fleet's store: challenges in Redis, so that any login server can
// verify what another one issued. Every take is one atomic script, so two
// servers racing for one challenge never both get it; Redis expires the
// keys itself and judges expiry by its own clock, never a server's. One
// key prefix per deployment keeps fleets apart on a shared Redis. The
// Redis is one server, a primary found through Sentinel, or a Redis
// Cluster (see RedisStoreAddress).
#pragma once

#include <chrono>
#include <cstdint>
#include <cstddef>
#include <memory>
#include <string>

#include "challenge_store.h"
#include "redis_store_url.h"

namespace zarnel::serverkit {

class RedisRoute;

class RedisChallengeStore final : public ChallengeStore {
 public:
  // Connects on first use; while Redis cannot be reached every call is
  // rejected with store-unavailable, and the next call tries again.
  RedisChallengeStore(const RedisStoreAddress& address, const ChallengeStoreOptions& options = {});
  ~RedisChallengeStore() override;

  // PING on a pooled connection (of every node that serves slots, in a
  // cluster): for health checks.
  Verdict Ping();

  // A cluster keeps no count of its entries (its room is each node's
  // maxmemory): there this is store-unavailable.
  Verdict HeldEntries(ChallengeKind kind, std::size_t& held) override;
  bool CountsEntries() const override;

  // Commands and connects to Redis that ran past the time-out.
  std::uint64_t Timeouts() const;

  // Members past their time that one call removes at most from each sorted
  // set it counts in; the rest wait for later calls, and no count includes
  // them meanwhile.
  static constexpr std::size_t kCleanupBatch = 64;

 protected:
  Verdict Put(const StoredChallenge& entry, const std::string& caller,
              std::chrono::milliseconds ttl) override;
  Verdict Take(const Bytes& id, const Bytes& fingerprint, TakenChallenge& out) override;
  Verdict KeepVerdict(const Bytes& id, const Bytes& fingerprint, const Verdict& verdict) override;
  Verdict BindReport(const Bytes& reportId, const std::string& session,
                     std::chrono::milliseconds ttl) override;
  Verdict ReleaseReport(const Bytes& reportId, const std::string& session) override;

 private:
  // In a cluster every script touches the keys of one hash slot: the
  // open marks and the challenge are written one after another.
  Verdict PutInCluster(const StoredChallenge& entry, const std::string& session,
                       const std::string& caller, std::chrono::milliseconds ttl);
  Verdict TakeInCluster(const Bytes& id, const Bytes& fingerprint, TakenChallenge& out);
  std::string ChallengeKey(const Bytes& id) const;
  std::string ReportKey(const Bytes& id) const;
  bool InCluster() const { return address_.topology == RedisTopology::kCluster; }

  std::unique_ptr<RedisRoute> route_;
  RedisStoreAddress address_;
};

}  // namespace zarnel::serverkit
