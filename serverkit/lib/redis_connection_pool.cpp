#include "redis_connection_pool.h"

#include <sys/time.h>

#include <cerrno>
#include <utility>

namespace zarnel::serverkit {

namespace {

// Idle connections kept for reuse; more may be open while busy.
constexpr std::size_t kMaxIdleConnections = 128;

timeval ToTimeval(std::chrono::milliseconds timeout) {
  timeval value{};
  value.tv_sec = static_cast<time_t>(timeout.count() / 1000);
  value.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
  return value;
}

// Redis closed or reset the connection: a pooled one was then stale (a
// restart, Redis's idle time-out), and the command never reached a Redis
// that could run it. A time-out (EAGAIN) is not one of these: the command
// may be running still, and a script may have taken its challenge.
bool TimedOut(const redisContext& context, int error) {
  return context.err == REDIS_ERR_IO && (error == EAGAIN || error == EWOULDBLOCK ||
                                         error == ETIMEDOUT || error == EINPROGRESS);
}

bool ClosedByRedis(const redisContext& context, int error) {
  if (context.err == REDIS_ERR_EOF) return true;
  return context.err == REDIS_ERR_IO && (error == ECONNRESET || error == EPIPE);
}

ReplyPtr Send(redisContext& context, std::vector<const char*> pointers,
              const std::vector<size_t>& lengths) {
  return ReplyPtr(static_cast<redisReply*>(redisCommandArgv(
      &context, static_cast<int>(pointers.size()), pointers.data(), lengths.data())));
}

}  // namespace

RedisConnectionPool::RedisConnectionPool(const RedisStoreAddress& address)
    : node_{address.host, address.port},
      timeout_(address.timeout),
      user_(address.user),
      password_(address.password),
      timeouts_(&ownTimeouts_) {}

RedisConnectionPool::RedisConnectionPool(const RedisStoreAddress& settings,
                                         const RedisNodeAddress& node,
                                         std::atomic<std::uint64_t>& timeouts, bool primaryOnly)
    : node_(node),
      timeout_(settings.timeout),
      user_(settings.user),
      password_(settings.password),
      primaryOnly_(primaryOnly),
      timeouts_(&timeouts) {}

std::string RedisConnectionPool::Where() const {
  return node_.host + ":" + std::to_string(node_.port);
}

ContextPtr RedisConnectionPool::Acquire(bool& pooled, std::string& error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      ContextPtr context = std::move(idle_.back());
      idle_.pop_back();
      pooled = true;
      return context;
    }
  }
  pooled = false;
  return Connect(error);
}

ContextPtr RedisConnectionPool::Connect(std::string& error) {
  ContextPtr context(redisConnectWithTimeout(node_.host.c_str(), node_.port, ToTimeval(timeout_)));
  if (!context) {
    error = "cannot allocate a Redis connection";
    return nullptr;
  }
  if (context->err != 0 || redisSetTimeout(context.get(), ToTimeval(timeout_)) != REDIS_OK) {
    if (TimedOut(*context, errno)) timeouts_->fetch_add(1);
    error = "cannot connect to Redis at " + Where() + ": " + context->errstr;
    return nullptr;
  }
  if (!Authenticate(*context, error)) return nullptr;
  if (primaryOnly_ && !CheckPrimary(*context, error)) return nullptr;
  return context;
}

bool RedisConnectionPool::Authenticate(redisContext& context, std::string& error) {
  if (password_.empty()) return true;
  std::vector<const char*> auth = {"AUTH"};
  std::vector<size_t> lengths = {4};
  if (!user_.empty()) {
    auth.push_back(user_.data());
    lengths.push_back(user_.size());
  }
  auth.push_back(password_.data());
  lengths.push_back(password_.size());
  ReplyPtr reply = Send(context, auth, lengths);
  if (!reply || context.err != 0) {
    error = "Redis at " + Where() + " dropped the connection during AUTH: " + context.errstr;
    return false;
  }
  // Redis's own words (WRONGPASS ...) quote neither the user's password
  // nor anything of ours.
  if (reply->type == REDIS_REPLY_ERROR) {
    error = "Redis at " + Where() + " refused the credentials: " +
            std::string(reply->str, reply->len);
    return false;
  }
  return true;
}

bool RedisConnectionPool::CheckPrimary(redisContext& context, std::string& error) {
  ReplyPtr reply = Send(context, {"ROLE"}, {4});
  if (!reply || context.err != 0) {
    error = "Redis at " + Where() + " dropped the connection during ROLE: " + context.errstr;
    return false;
  }
  if (reply->type != REDIS_REPLY_ARRAY || reply->elements < 1 ||
      reply->element[0]->type != REDIS_REPLY_STRING) {
    error = "Redis at " + Where() + " did not answer ROLE";
    return false;
  }
  const std::string role(reply->element[0]->str, reply->element[0]->len);
  if (role != "master") {
    error = "Redis at " + Where() + " is no longer the primary (ROLE " + role + ")";
    return false;
  }
  return true;
}

void RedisConnectionPool::Release(ContextPtr context) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (idle_.size() < kMaxIdleConnections) idle_.push_back(std::move(context));
}

ReplyPtr RedisConnectionPool::Command(const RedisCommand& arguments, std::string& error) {
  std::vector<ReplyPtr> replies;
  RedisFailure failure = RedisFailure::kNone;
  if (!Pipeline({arguments}, replies, error, failure)) return nullptr;
  return std::move(replies.front());
}

bool RedisConnectionPool::Pipeline(const std::vector<RedisCommand>& commands,
                                   std::vector<ReplyPtr>& replies, std::string& error,
                                   RedisFailure& failure) {
  bool pooled = false;
  ContextPtr context = Acquire(pooled, error);
  while (context) {
    replies.clear();
    for (const RedisCommand& command : commands) {
      std::vector<const char*> pointers;
      std::vector<size_t> lengths;
      for (const std::string& argument : command) {
        pointers.push_back(argument.data());
        lengths.push_back(argument.size());
      }
      redisAppendCommandArgv(context.get(), static_cast<int>(command.size()), pointers.data(),
                             lengths.data());
    }
    int lost = 0;
    while (replies.size() < commands.size()) {
      void* reply = nullptr;
      if (redisGetReply(context.get(), &reply) != REDIS_OK || reply == nullptr) {
        lost = errno;
        break;
      }
      replies.emplace_back(static_cast<redisReply*>(reply));
    }
    if (replies.size() == commands.size() && context->err == 0) {
      Release(std::move(context));
      failure = RedisFailure::kNone;
      return true;
    }
    error = std::string("Redis connection to ") + Where() + " failed: " + context->errstr;
    const bool timedOut = TimedOut(*context, lost);
    if (timedOut) timeouts_->fetch_add(1);
    // The context is dropped with its half-read state; only a stale pooled
    // one earns the commands a second, last try.
    if (!pooled || !ClosedByRedis(*context, lost)) {
      failure = timedOut ? RedisFailure::kTimedOut : RedisFailure::kBroken;
      return false;
    }
    pooled = false;
    context = Connect(error);
  }
  failure = RedisFailure::kUnreachable;
  return false;
}

}  // namespace zarnel::serverkit
