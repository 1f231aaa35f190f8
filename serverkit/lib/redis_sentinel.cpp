#include "redis_sentinel.h"

#include <sys/time.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

namespace zarnel::serverkit {

namespace {

// Between two looks for a new primary: a failover takes Sentinel a second
// or more, and each look costs every sentinel a connection.
constexpr std::chrono::milliseconds kPause{50};

timeval ToTimeval(std::chrono::milliseconds timeout) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  value.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  return value;
}

// A reply that says the node is not, or not yet, a primary that serves.
bool FailoverReply(const std::vector<ReplyPtr>& replies, std::string& error) {
  for (const ReplyPtr& reply : replies) {
    if (IsErrorCode(*reply, "READONLY") || IsErrorCode(*reply, "LOADING") ||
        IsErrorCode(*reply, "MASTERDOWN")) {
      error = "the Redis primary answered " + std::string(reply->str, reply->len);
      return true;
    }
  }
  return false;
}

}  // namespace

RedisSentinelRoute::RedisSentinelRoute(const RedisStoreAddress& address) : settings_(address) {}

bool RedisSentinelRoute::AskSentinels(Clock::time_point deadline, RedisNodeAddress& primary,
                                      std::string& error) {
  error = "no sentinel named the Redis primary " + settings_.primaryName;
  for (const RedisNodeAddress& sentinel : settings_.nodes) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    const timeval timeout = ToTimeval(std::min(left, settings_.timeout));
    ContextPtr context(redisConnectWithTimeout(sentinel.host.c_str(), sentinel.port, timeout));
    if (!context || context->err != 0 || redisSetTimeout(context.get(), timeout) != REDIS_OK) {
      error = "cannot ask the sentinel at " + sentinel.host + ":" + std::to_string(sentinel.port);
      continue;
    }
    const char* arguments[] = {"SENTINEL", "get-master-addr-by-name", settings_.primaryName.c_str()};
    const size_t lengths[] = {8, 23, settings_.primaryName.size()};
    ReplyPtr reply(static_cast<redisReply*>(redisCommandArgv(context.get(), 3, arguments, lengths)));
    if (reply && reply->type == REDIS_REPLY_ARRAY && reply->elements == 2 &&
        reply->element[0]->type == REDIS_REPLY_STRING &&
        reply->element[1]->type == REDIS_REPLY_STRING) {
      primary.host.assign(reply->element[0]->str, reply->element[0]->len);
      primary.port = std::atoi(reply->element[1]->str);
      if (primary.port > 0) return true;
    }
    error = "the sentinel at " + sentinel.host + ":" + std::to_string(sentinel.port) +
            " names no primary " + settings_.primaryName;
  }
  return false;
}

std::shared_ptr<RedisConnectionPool> RedisSentinelRoute::Primary(Clock::time_point deadline,
                                                                 std::uint64_t& generation,
                                                                 std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!primary_ || recheck_) {
    RedisNodeAddress node;
    if (!AskSentinels(deadline, node, error)) return nullptr;
    recheck_ = false;
    // A look after a time-out that finds the same primary keeps its
    // connections.
    if (!primary_ || primary_->node().host != node.host || primary_->node().port != node.port) {
      primary_ = std::make_shared<RedisConnectionPool>(settings_, node, timeouts_, true);
      ++generation_;
    }
  }
  generation = generation_;
  return primary_;
}

void RedisSentinelRoute::Forget(std::uint64_t generation) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (generation == generation_) primary_.reset();
}

void RedisSentinelRoute::Recheck() {
  std::lock_guard<std::mutex> lock(mutex_);
  recheck_ = true;
}

bool RedisSentinelRoute::Run(const std::string&, const std::vector<RedisCommand>& commands,
                             std::vector<ReplyPtr>& replies, std::string& error) {
  const Clock::time_point deadline = Clock::now() + settings_.timeout;
  for (int attempt = 0;; ++attempt) {
    if (attempt > 0) {
      if (Clock::now() + kPause >= deadline) return false;
      std::this_thread::sleep_for(kPause);
    }
    std::uint64_t generation = 0;
    std::shared_ptr<RedisConnectionPool> primary = Primary(deadline, generation, error);
    if (!primary) continue;
    RedisFailure failure = RedisFailure::kNone;
    if (primary->Pipeline(commands, replies, error, failure)) {
      if (!FailoverReply(replies, error)) return true;
      // Nothing ran: a replica refuses the write, a loading node all.
      Forget(generation);
      continue;
    }
    if (failure == RedisFailure::kUnreachable) {
      Forget(generation);
      continue;
    }
    // The commands may have run: the caller's retry decides, after a
    // look at who the primary is now.
    if (failure == RedisFailure::kBroken) Forget(generation);
    if (failure == RedisFailure::kTimedOut) Recheck();
    return false;
  }
}

bool RedisSentinelRoute::Ping(std::string& error) {
  std::vector<ReplyPtr> replies;
  if (!Run(std::string(), {{"PING"}}, replies, error)) return false;
  if (replies.front()->type == REDIS_REPLY_STATUS) return true;
  error = "the Redis primary did not answer PING";
  return false;
}

}  // namespace zarnel::serverkit
