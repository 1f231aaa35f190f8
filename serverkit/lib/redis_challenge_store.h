// The fleet's store: challenges in Redis, so that any login server can
// verify what another one issued. Every take is one atomic script, so two
// servers racing for one challenge never both get it; Redis expires the
// keys itself and judges expiry by its own clock, never a server's. One
// key prefix per deployment keeps fleets apart on a shared Redis.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstddef>
#include <memory>
#include <string>

#include "challenge_store.h"

namespace zarnel::serverkit {

class RedisConnectionPool;

struct RedisStoreAddress {
  std::string host;
  int port = 6379;
  std::string prefix;  // 1 to 64 of A-Z a-z 0-9 . _ -
  // Connecting and each command; past it the call is store-unavailable.
  std::chrono::milliseconds timeout{1000};
  // AUTH on every new connection when a password is set: with the user
  // (Redis 6 ACL) when one is named, else as the default user.
  std::string user{};
  std::string password{};
};

// "redis://[[USER]:PASSWORD@]HOST:PORT/PREFIX"; USER and PASSWORD may
// percent-encode any byte (%40 for '@'). False with `error` set on
// anything else; `error` never quotes the URL, which may hold a password.
bool ParseRedisStoreUrl(const std::string& url, RedisStoreAddress& address, std::string& error);

class RedisChallengeStore final : public ChallengeStore {
 public:
  // Connects on first use; while Redis cannot be reached every call is
  // rejected with store-unavailable, and the next call tries again.
  RedisChallengeStore(const RedisStoreAddress& address, const ChallengeStoreOptions& options = {});
  ~RedisChallengeStore() override;

  // PING on a pooled connection: for health checks.
  Verdict Ping();

  Verdict HeldEntries(ChallengeKind kind, std::size_t& held) override;

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
  std::unique_ptr<RedisConnectionPool> connections_;
  RedisStoreAddress address_;
};

}  // namespace zarnel::serverkit
