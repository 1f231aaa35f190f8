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

}  // namespace

RedisConnectionPool::RedisConnectionPool(const RedisStoreAddress& address)
    : host_(address.host),
      port_(address.port),
      timeout_(address.timeout),
      user_(address.user),
      password_(address.password) {}

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
  ContextPtr context(redisConnectWithTimeout(host_.c_str(), port_, ToTimeval(timeout_)));
  if (!context) {
    error = "cannot allocate a Redis connection";
    return nullptr;
  }
  if (context->err != 0 || redisSetTimeout(context.get(), ToTimeval(timeout_)) != REDIS_OK) {
    if (TimedOut(*context, errno)) timeouts_.fetch_add(1);
    error = "cannot connect to Redis at " + host_ + ":" + std::to_string(port_) + ": " +
            context->errstr;
    return nullptr;
  }
  if (password_.empty()) return context;
  std::vector<const char*> auth = {"AUTH"};
  std::vector<size_t> lengths = {4};
  if (!user_.empty()) {
    auth.push_back(user_.data());
    lengths.push_back(user_.size());
  }
  auth.push_back(password_.data());
  lengths.push_back(password_.size());
  ReplyPtr reply(static_cast<redisReply*>(redisCommandArgv(
      context.get(), static_cast<int>(auth.size()), auth.data(), lengths.data())));
  if (!reply || context->err != 0) {
    error = "Redis at " + host_ + ":" + std::to_string(port_) +
            " dropped the connection during AUTH: " + context->errstr;
    return nullptr;
  }
  // Redis's own words (WRONGPASS ...) quote neither the user's password
  // nor anything of ours.
  if (reply->type == REDIS_REPLY_ERROR) {
    error = "Redis at " + host_ + ":" + std::to_string(port_) + " refused the credentials: " +
            std::string(reply->str, reply->len);
    return nullptr;
  }
  return context;
}

void RedisConnectionPool::Release(ContextPtr context) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (idle_.size() < kMaxIdleConnections) idle_.push_back(std::move(context));
}

ReplyPtr RedisConnectionPool::Command(const std::vector<std::string>& arguments,
                                      std::string& error) {
  std::vector<const char*> pointers;
  std::vector<size_t> lengths;
  for (const std::string& argument : arguments) {
    pointers.push_back(argument.data());
    lengths.push_back(argument.size());
  }
  bool pooled = false;
  ContextPtr context = Acquire(pooled, error);
  while (context) {
    ReplyPtr reply(static_cast<redisReply*>(redisCommandArgv(
        context.get(), static_cast<int>(arguments.size()), pointers.data(), lengths.data())));
    const int failure = errno;
    if (reply && context->err == 0) {
      Release(std::move(context));
      return reply;
    }
    error = std::string("Redis connection failed: ") + context->errstr;
    if (TimedOut(*context, failure)) timeouts_.fetch_add(1);
    // The context is dropped with its half-read state; only a stale pooled
    // one earns the command a second, last try.
    if (!pooled || !ClosedByRedis(*context, failure)) return nullptr;
    pooled = false;
    context = Connect(error);
  }
  return nullptr;
}

}  // namespace zarnel::serverkit
