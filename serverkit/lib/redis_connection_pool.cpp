#include "redis_connection_pool.h"

#include <sys/time.h>

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

}  // namespace

RedisConnectionPool::RedisConnectionPool(const RedisStoreAddress& address)
    : host_(address.host),
      port_(address.port),
      timeout_(address.timeout),
      user_(address.user),
      password_(address.password) {}

ContextPtr RedisConnectionPool::Acquire(std::string& error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!idle_.empty()) {
      ContextPtr context = std::move(idle_.back());
      idle_.pop_back();
      return context;
    }
  }
  return Connect(error);
}

ContextPtr RedisConnectionPool::Connect(std::string& error) {
  ContextPtr context(redisConnectWithTimeout(host_.c_str(), port_, ToTimeval(timeout_)));
  if (!context) {
    error = "cannot allocate a Redis connection";
    return nullptr;
  }
  if (context->err != 0 || redisSetTimeout(context.get(), ToTimeval(timeout_)) != REDIS_OK) {
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
  ContextPtr context = Acquire(error);
  if (!context) return nullptr;
  std::vector<const char*> pointers;
  std::vector<size_t> lengths;
  for (const std::string& argument : arguments) {
    pointers.push_back(argument.data());
    lengths.push_back(argument.size());
  }
  ReplyPtr reply(static_cast<redisReply*>(redisCommandArgv(
      context.get(), static_cast<int>(arguments.size()), pointers.data(), lengths.data())));
  if (!reply || context->err != 0) {
    error = std::string("Redis connection failed: ") + context->errstr;
    return nullptr;  // the context is dropped with its half-read state
  }
  Release(std::move(context));
  return reply;
}

}  // namespace zarnel::serverkit
