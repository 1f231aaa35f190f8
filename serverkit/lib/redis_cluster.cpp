#include "redis_cluster.h"

#include <cstdlib>
#include <set>
#include <thread>

#include "redis_key_slot.h"

namespace zarnel::serverkit {

namespace {

// Redirections one call follows at most: a slot moves once, a migration
// adds an ASK; more means the map keeps changing under the call.
constexpr int kMaxAttempts = 16;
// Between two tries when the cluster is down or a node gone: a failover
// of a cluster node takes it a second or more.
constexpr std::chrono::milliseconds kPause{50};

std::string Text(const redisReply& reply) { return std::string(reply.str, reply.len); }

std::string Name(const RedisNodeAddress& node) {
  return node.host + ":" + std::to_string(node.port);
}

// "MOVED 3999 127.0.0.1:6381" or "ASK 3999 127.0.0.1:6381"; an empty host
// is the host of the node that answered.
bool ParseRedirect(const redisReply& reply, const RedisNodeAddress& from, RedisNodeAddress& to) {
  const std::string text = Text(reply);
  const std::size_t space = text.rfind(' ');
  const std::size_t colon = text.rfind(':');
  if (space == std::string::npos || colon == std::string::npos || colon < space) return false;
  to.host = text.substr(space + 1, colon - space - 1);
  if (to.host.empty()) to.host = from.host;
  to.port = std::atoi(text.c_str() + colon + 1);
  return to.port > 0;
}

}  // namespace

RedisClusterRoute::RedisClusterRoute(const RedisStoreAddress& address) : settings_(address) {}

RedisClusterRoute::PoolPtr RedisClusterRoute::PoolOf(const RedisNodeAddress& node) {
  PoolPtr& pool = pools_[Name(node)];
  if (!pool) pool = std::make_shared<RedisConnectionPool>(settings_, node, timeouts_, false);
  return pool;
}

bool RedisClusterRoute::Refresh(std::string& error) {
  std::uint64_t seen = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    seen = refreshes_;
  }
  std::lock_guard<std::mutex> one(refreshing_);
  std::vector<PoolPtr> candidates;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Another call read the map while this one waited.
    if (refreshes_ != seen && !slots_.empty()) return true;
    for (const auto& [name, pool] : pools_) candidates.push_back(pool);
    for (const RedisNodeAddress& seed : settings_.nodes) candidates.push_back(PoolOf(seed));
  }
  error = "no Redis Cluster node gave its slot map";
  for (const PoolPtr& pool : candidates) {
    ReplyPtr reply = pool->Command({"CLUSTER", "SLOTS"}, error);
    if (!reply) continue;
    if (reply->type != REDIS_REPLY_ARRAY) {
      error = "Redis at " + Name(pool->node()) + " gave no slot map: " +
              (reply->type == REDIS_REPLY_ERROR ? Text(*reply) : std::string("?"));
      continue;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PoolPtr> slots(kRedisClusterSlots);
    for (std::size_t i = 0; i < reply->elements; ++i) {
      const redisReply& range = *reply->element[i];
      if (range.type != REDIS_REPLY_ARRAY || range.elements < 3 ||
          range.element[0]->type != REDIS_REPLY_INTEGER ||
          range.element[1]->type != REDIS_REPLY_INTEGER ||
          range.element[2]->type != REDIS_REPLY_ARRAY || range.element[2]->elements < 2 ||
          range.element[2]->element[0]->type != REDIS_REPLY_STRING ||
          range.element[2]->element[1]->type != REDIS_REPLY_INTEGER) {
        continue;
      }
      RedisNodeAddress node{Text(*range.element[2]->element[0]),
                            static_cast<int>(range.element[2]->element[1]->integer)};
      if (node.host.empty() || node.host == "?") node.host = pool->node().host;
      const long long first = range.element[0]->integer;
      const long long last = range.element[1]->integer;
      if (first < 0 || last >= kRedisClusterSlots || first > last) continue;
      const PoolPtr server = PoolOf(node);
      for (long long slot = first; slot <= last; ++slot) slots[slot] = server;
    }
    slots_ = std::move(slots);
    ++refreshes_;
    // A node that serves no slot any more keeps no connections.
    std::set<std::string> serving;
    for (const PoolPtr& server : slots_) {
      if (server) serving.insert(Name(server->node()));
    }
    for (auto it = pools_.begin(); it != pools_.end();) {
      it = serving.count(it->first) != 0 ? std::next(it) : pools_.erase(it);
    }
    return true;
  }
  return false;
}

RedisClusterRoute::PoolPtr RedisClusterRoute::ServerOf(int slot, std::string& error) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!slots_.empty() && slots_[slot]) return slots_[slot];
  }
  if (!Refresh(error)) return nullptr;
  std::lock_guard<std::mutex> lock(mutex_);
  if (slots_[slot]) return slots_[slot];
  error = "no Redis Cluster node serves slot " + std::to_string(slot);
  return nullptr;
}

void RedisClusterRoute::Moved(int slot, const RedisNodeAddress& node) {
  // A slot seldom moves alone: a resharding moves many. The node that
  // answered MOVED has the last word on this slot, though: the node that
  // gave the map may not have heard of the move yet.
  std::string ignored;
  Refresh(ignored);
  std::lock_guard<std::mutex> lock(mutex_);
  if (!slots_.empty()) slots_[slot] = PoolOf(node);
}

bool RedisClusterRoute::Run(const std::string& key, const std::vector<RedisCommand>& commands,
                            std::vector<ReplyPtr>& replies, std::string& error) {
  const Clock::time_point deadline = Clock::now() + settings_.timeout;
  const int slot = RedisKeySlot(key);
  PoolPtr asked;  // the node an ASK named, for the next try only
  bool pause = false;
  bool askedOnce = false;
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    if (pause) {
      if (Clock::now() + kPause >= deadline) return false;
      std::this_thread::sleep_for(kPause);
      pause = false;
    }
    PoolPtr target = asked ? asked : ServerOf(slot, error);
    if (!target) {
      pause = true;
      continue;
    }
    std::vector<RedisCommand> sent;
    if (asked) sent.push_back({"ASKING"});
    sent.insert(sent.end(), commands.begin(), commands.end());
    RedisFailure failure = RedisFailure::kNone;
    if (!target->Pipeline(sent, replies, error, failure)) {
      if (failure != RedisFailure::kUnreachable) return false;
      // Nothing was sent: the slot may have a new node (a failover).
      std::string ignored;
      Refresh(ignored);
      asked.reset();
      pause = true;
      continue;
    }
    if (asked) replies.erase(replies.begin());
    asked.reset();
    const redisReply* redirect = nullptr;
    for (const ReplyPtr& reply : replies) {
      if (reply->type == REDIS_REPLY_ERROR && redirect == nullptr) redirect = reply.get();
    }
    if (redirect == nullptr) return true;
    RedisNodeAddress node;
    if (IsErrorCode(*redirect, "MOVED") && ParseRedirect(*redirect, target->node(), node)) {
      Moved(slot, node);
      continue;
    }
    if (IsErrorCode(*redirect, "ASK") && ParseRedirect(*redirect, target->node(), node)) {
      if (askedOnce) break;
      askedOnce = true;
      std::lock_guard<std::mutex> lock(mutex_);
      asked = PoolOf(node);
      continue;
    }
    if (IsErrorCode(*redirect, "TRYAGAIN") || IsErrorCode(*redirect, "CLUSTERDOWN")) {
      error = "Redis Cluster answered " + Text(*redirect);
      pause = true;
      if (IsErrorCode(*redirect, "CLUSTERDOWN")) {
        std::string ignored;
        Refresh(ignored);
      }
      continue;
    }
    return true;  // an error of the command itself
  }
  error = "Redis Cluster kept redirecting the store's command for slot " + std::to_string(slot);
  return false;
}

bool RedisClusterRoute::Ping(std::string& error) {
  std::vector<PoolPtr> servers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    servers = slots_;
  }
  if (servers.empty()) {
    if (!Refresh(error)) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    servers = slots_;
  }
  std::set<RedisConnectionPool*> pinged;
  for (std::size_t slot = 0; slot < servers.size(); ++slot) {
    if (!servers[slot]) {
      error = "no Redis Cluster node serves slot " + std::to_string(slot);
      return false;
    }
    if (!pinged.insert(servers[slot].get()).second) continue;
    ReplyPtr reply = servers[slot]->Command({"PING"}, error);
    if (!reply) return false;
    if (reply->type != REDIS_REPLY_STATUS) {
      error = "Redis at " + Name(servers[slot]->node()) + " did not answer PING";
      return false;
    }
  }
  return true;
}

}  // namespace zarnel::serverkit
