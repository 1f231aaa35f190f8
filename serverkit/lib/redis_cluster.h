// The store's commands to the Redis Cluster node that serves each key's
// hash slot, with a connection pool per node. Debian's hiredis 0.14 knows
// no cluster: the slot map, MOVED and ASK are handled here. Private to
// the kit.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <hiredis/hiredis.h>

#include "redis_route.h"

namespace zarnel::serverkit {

class RedisClusterRoute final : public RedisRoute {
 public:
  explicit RedisClusterRoute(const RedisStoreAddress& address);

  // MOVED: the slot's node is noted, the map read again from CLUSTER
  // SLOTS, and the commands sent to the new node. ASK (a slot being
  // migrated, the key already gone): ASKING and the commands once to the
  // node named. A node that cannot be reached, CLUSTERDOWN and TRYAGAIN
  // are sent again after a new look at the map, until the store's
  // time-out has passed since the call began. A time-out or a connection
  // broken mid-command is not sent again.
  bool Run(const std::string& key, const std::vector<RedisCommand>& commands,
           std::vector<ReplyPtr>& replies, std::string& error) override;
  // Every node that serves slots answers PING, and every slot has one.
  bool Ping(std::string& error) override;
  std::uint64_t timeouts() const override { return timeouts_.load(); }

 private:
  using Clock = std::chrono::steady_clock;
  using PoolPtr = std::shared_ptr<RedisConnectionPool>;

  PoolPtr PoolOf(const RedisNodeAddress& node);  // mutex_ held
  PoolPtr ServerOf(int slot, std::string& error);
  // Reads the slot map from the first node that gives it.
  bool Refresh(std::string& error);
  void Moved(int slot, const RedisNodeAddress& node);

  const RedisStoreAddress settings_;
  std::mutex mutex_;
  std::map<std::string, PoolPtr> pools_;  // by "host:port"
  std::vector<PoolPtr> slots_;            // empty until the first map
  std::mutex refreshing_;                 // one look at a time
  std::uint64_t refreshes_ = 0;
  std::atomic<std::uint64_t> timeouts_{0};
};

}  // namespace zarnel::serverkit
