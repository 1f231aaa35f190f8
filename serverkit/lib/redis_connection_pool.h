// Pooled hiredis connections for RedisChallengeStore (private to the kit:
// the public header names no hiredis type). A connection that failed once
// is dropped, so a restarted Redis is picked up by the next call; a command
// whose pooled connection Redis had closed is sent once more on a new one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <hiredis/hiredis.h>

#include "redis_challenge_store.h"

namespace zarnel::serverkit {

struct ReplyFree {
  void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using ReplyPtr = std::unique_ptr<redisReply, ReplyFree>;

struct ContextFree {
  void operator()(redisContext* context) const { redisFree(context); }
};
using ContextPtr = std::unique_ptr<redisContext, ContextFree>;

class RedisConnectionPool {
 public:
  explicit RedisConnectionPool(const RedisStoreAddress& address);

  // Runs one command. Null with `error` set when no connection could be
  // made, Redis refused the credentials or the connection failed; a Redis
  // error reply is returned as such. When a connection from the pool was
  // closed or reset by Redis (a restart leaves every idle one so), the
  // command is sent once more on a new connection; never after a time-out,
  // which a command Redis is still running also gives. `error` may name
  // the host and port, never the password.
  ReplyPtr Command(const std::vector<std::string>& arguments, std::string& error);

  // Commands and connects that ran past the time-out, since the start.
  std::uint64_t timeouts() const { return timeouts_.load(); }

 private:
  ContextPtr Acquire(bool& pooled, std::string& error);
  ContextPtr Connect(std::string& error);
  void Release(ContextPtr context);

  const std::string host_;
  const int port_;
  const std::chrono::milliseconds timeout_;
  const std::string user_;
  const std::string password_;
  std::mutex mutex_;
  std::vector<ContextPtr> idle_;
  std::atomic<std::uint64_t> timeouts_{0};
};

}  // namespace zarnel::serverkit
