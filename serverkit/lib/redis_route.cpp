#include "redis_route.h"

#include <cstring>

#include "redis_cluster.h"
#include "redis_sentinel.h"

namespace zarnel::serverkit {

namespace {

class SingleRoute final : public RedisRoute {
 public:
  explicit SingleRoute(const RedisStoreAddress& address) : pool_(address) {}

  bool Run(const std::string&, const std::vector<RedisCommand>& commands,
           std::vector<ReplyPtr>& replies, std::string& error) override {
    RedisFailure failure = RedisFailure::kNone;
    return pool_.Pipeline(commands, replies, error, failure);
  }

  bool Ping(std::string& error) override {
    ReplyPtr reply = pool_.Command({"PING"}, error);
    if (!reply) return false;
    if (reply->type == REDIS_REPLY_STATUS) return true;
    error = "Redis did not answer PING";
    return false;
  }

  std::uint64_t timeouts() const override { return pool_.timeouts(); }

 private:
  RedisConnectionPool pool_;
};

}  // namespace

std::unique_ptr<RedisRoute> MakeRedisRoute(const RedisStoreAddress& address) {
  switch (address.topology) {
    case RedisTopology::kSentinel: return std::make_unique<RedisSentinelRoute>(address);
    case RedisTopology::kCluster: return std::make_unique<RedisClusterRoute>(address);
    case RedisTopology::kSingle: break;
  }
  return std::make_unique<SingleRoute>(address);
}

ReplyPtr RunOne(RedisRoute& route, const std::string& key, const RedisCommand& command,
                std::string& error) {
  std::vector<ReplyPtr> replies;
  if (!route.Run(key, {command}, replies, error)) return nullptr;
  return std::move(replies.front());
}

bool IsErrorCode(const redisReply& reply, const char* code) {
  const std::size_t length = std::strlen(code);
  return reply.type == REDIS_REPLY_ERROR && reply.len >= length &&
         std::strncmp(reply.str, code, length) == 0 &&
         (reply.len == length || reply.str[length] == ' ');
}

}  // namespace zarnel::serverkit
