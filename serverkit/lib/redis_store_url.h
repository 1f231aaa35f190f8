// Where a RedisChallengeStore finds its Redis, and the URL an operator
// writes for it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace zarnel::serverkit {

struct RedisNodeAddress {
  std::string host;
  int port = 6379;
};

enum class RedisTopology : std::uint8_t {
  kSingle,    // one Redis at host:port
  kSentinel,  // the primary that the sentinels in `nodes` name `primaryName`
  kCluster,   // a Redis Cluster, learnt from any of `nodes`
};

struct RedisStoreAddress {
  std::string host;
  int port = 6379;
  std::string prefix;  // 1 to 64 of A-Z a-z 0-9 . _ -
  // Connecting and each command; past it the call is store-unavailable.
  // With sentinels or a cluster it also bounds the whole call, the
  // questions to the sentinels and the retries on another node included.
  std::chrono::milliseconds timeout{1000};
  // AUTH on every new connection to a data node when a password is set:
  // with the user (Redis 6 ACL) when one is named, else as the default
  // user. Sentinels are asked without it.
  std::string user{};
  std::string password{};
  RedisTopology topology = RedisTopology::kSingle;
  std::vector<RedisNodeAddress> nodes{};  // sentinels, or the cluster's seeds
  std::string primaryName{};              // as the sentinels monitor it
};

// One of
//   redis://[[USER]:PASSWORD@]HOST:PORT/PREFIX
//   redis-sentinel://[[USER]:PASSWORD@]HOST:PORT[,HOST:PORT...]/PRIMARY/PREFIX
//   redis-cluster://[[USER]:PASSWORD@]HOST:PORT[,HOST:PORT...]/PREFIX
// USER and PASSWORD may percent-encode any byte (%40 for '@'). False with
// `error` set on anything else; `error` never quotes the URL, which may
// hold a password.
bool ParseRedisStoreUrl(const std::string& url, RedisStoreAddress& address, std::string& error);

}  // namespace zarnel::serverkit
