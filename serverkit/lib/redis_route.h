// Where a RedisChallengeStore's commands go: to its one Redis, to the
// primary its sentinels name, or to the cluster node serving a key's hash
// slot. Private to the kit.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <hiredis/hiredis.h>

#include "redis_connection_pool.h"
#include "redis_store_url.h"

namespace zarnel::serverkit {

class RedisRoute {
 public:
  virtual ~RedisRoute() = default;

  // Sends `commands` together on one connection to the node that serves
  // `key` (every key one command names is in that key's slot) and reads a
  // reply to each; a Redis error reply is returned as such. False with
  // `error` set when not every reply came: the call is then
  // store-unavailable. Never sends again what Redis may have run, except
  // on a stale pooled connection (see RedisConnectionPool).
  virtual bool Run(const std::string& key, const std::vector<RedisCommand>& commands,
                   std::vector<ReplyPtr>& replies, std::string& error) = 0;

  // Every node the store writes to answers PING.
  virtual bool Ping(std::string& error) = 0;

  // Commands and connects that ran past the time-out, since the start.
  virtual std::uint64_t timeouts() const = 0;
};

std::unique_ptr<RedisRoute> MakeRedisRoute(const RedisStoreAddress& address);

// One command through `route`: its reply, or null with `error` set.
ReplyPtr RunOne(RedisRoute& route, const std::string& key, const RedisCommand& command,
                std::string& error);

// Redis's error reply `reply` starts with the word `code` (MOVED, READONLY).
bool IsErrorCode(const redisReply& reply, const char* code);

}  // namespace zarnel::serverkit
