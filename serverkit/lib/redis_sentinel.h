// The store's commands to the primary that Redis Sentinel names, found
// again after a failover. Private to the kit.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <hiredis/hiredis.h>

#include "redis_route.h"

namespace zarnel::serverkit {

class RedisSentinelRoute final : public RedisRoute {
 public:
  explicit RedisSentinelRoute(const RedisStoreAddress& address);

  // A connection that cannot be made to the primary (or whose node says
  // by ROLE it is none), a READONLY reply (a demoted primary) and LOADING
  // (a restarted one) are sent again to the primary the sentinels name
  // now, until the store's time-out has passed since the call began; the
  // old primary's pooled connections are dropped. A time-out or a
  // connection broken mid-command is not sent again, but the next call
  // asks the sentinels first.
  bool Run(const std::string& key, const std::vector<RedisCommand>& commands,
           std::vector<ReplyPtr>& replies, std::string& error) override;
  bool Ping(std::string& error) override;
  std::uint64_t timeouts() const override { return timeouts_.load(); }

 private:
  using Clock = std::chrono::steady_clock;

  // The pool of the primary, asking the sentinels when there is none or
  // a time-out asked for a look; null with `error` set when none answered.
  std::shared_ptr<RedisConnectionPool> Primary(Clock::time_point deadline,
                                               std::uint64_t& generation, std::string& error);
  bool AskSentinels(Clock::time_point deadline, RedisNodeAddress& primary, std::string& error);
  // Drops the primary of `generation` unless another call already did.
  void Forget(std::uint64_t generation);
  void Recheck();

  const RedisStoreAddress settings_;
  std::mutex mutex_;  // held while asking: concurrent calls wait for one answer
  std::shared_ptr<RedisConnectionPool> primary_;
  std::uint64_t generation_ = 0;
  bool recheck_ = false;
  std::atomic<std::uint64_t> timeouts_{0};
};

}  // namespace zarnel::serverkit
