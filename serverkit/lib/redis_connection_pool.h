// Pooled hiredis connections to one Redis node for RedisChallengeStore
// (private to the kit: the public header names no hiredis type). A
// connection that failed once is dropped, so a restarted Redis is picked
// up by the next call; a command whose pooled connection Redis had closed
// is sent once more on a new one.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <hiredis/hiredis.h>

#include "redis_store_url.h"

namespace zarnel::serverkit {

struct ReplyFree {
  void operator()(redisReply* reply) const { freeReplyObject(reply); }
};
using ReplyPtr = std::unique_ptr<redisReply, ReplyFree>;

struct ContextFree {
  void operator()(redisContext* context) const { redisFree(context); }
};
using ContextPtr = std::unique_ptr<redisContext, ContextFree>;

using RedisCommand = std::vector<std::string>;

// Why commands got no reply: what a caller may do next depends on whether
// Redis may have run them.
enum class RedisFailure : std::uint8_t {
  kNone,
  kUnreachable,  // no connection could be made, authenticated or checked: nothing was sent
  kBroken,       // the connection failed with the commands sent: they may have run
  kTimedOut,     // past the time-out: Redis may still run them
};

class RedisConnectionPool {
 public:
  // To address.host:address.port, counting its own time-outs.
  explicit RedisConnectionPool(const RedisStoreAddress& address);
  // To `node` with the time-out and credentials of `settings`, counting
  // time-outs in `timeouts` (which outlives the pool). With
  // `primaryOnly`, a new connection is used only once ROLE says the node
  // is a primary: a sentinel's answer may be behind a failover.
  RedisConnectionPool(const RedisStoreAddress& settings, const RedisNodeAddress& node,
                      std::atomic<std::uint64_t>& timeouts, bool primaryOnly);

  // Runs one command. Null with `error` set when no connection could be
  // made, Redis refused the credentials or the connection failed; a Redis
  // error reply is returned as such. When a connection from the pool was
  // closed or reset by Redis (a restart leaves every idle one so), the
  // command is sent once more on a new connection; never after a time-out,
  // which a command Redis is still running also gives. `error` may name
  // the host and port, never the password.
  ReplyPtr Command(const RedisCommand& arguments, std::string& error);

  // Sends `commands` together on one connection (ASKING before a command,
  // WAIT after a write must share the command's connection) and reads a
  // reply to each, as Command does. False with `error` and `failure` set
  // when not every reply came.
  bool Pipeline(const std::vector<RedisCommand>& commands, std::vector<ReplyPtr>& replies,
                std::string& error, RedisFailure& failure);

  // Commands and connects that ran past the time-out, since the start.
  std::uint64_t timeouts() const { return timeouts_->load(); }
  const RedisNodeAddress& node() const { return node_; }

 private:
  ContextPtr Acquire(bool& pooled, std::string& error);
  ContextPtr Connect(std::string& error);
  bool Authenticate(redisContext& context, std::string& error);
  bool CheckPrimary(redisContext& context, std::string& error);
  void Release(ContextPtr context);
  std::string Where() const;

  const RedisNodeAddress node_;
  const std::chrono::milliseconds timeout_;
  const std::string user_;
  const std::string password_;
  const bool primaryOnly_ = false;
  std::mutex mutex_;
  std::vector<ContextPtr> idle_;
  std::atomic<std::uint64_t> ownTimeouts_{0};
  std::atomic<std::uint64_t>* const timeouts_;
};

}  // namespace zarnel::serverkit
