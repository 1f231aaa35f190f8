#include "redis_challenge_store.h"

#include <algorithm>
#include <vector>

#include "internal/crypto_failure.h"
#include "internal/rejections.h"
#include "redis_route.h"
#include "redis_store_values.h"

namespace zarnel::serverkit {

namespace {

// The layout on one Redis (a single server, or the primary Sentinel
// names); a cluster's is in redis_cluster_store.cpp. Each script runs
// atomically in Redis.
//
// Room and limits are counted in sorted sets, each member scored by the
// moment it stops counting, and always as ZCOUNT from now on (O(log N)):
// - `<prefix>:held:login` and `<prefix>:held:hard-cheat`: the keys of each
//   kind (report bindings with the hard-cheat ones), scored by the moment
//   Redis drops them;
// - `<prefix>:open-session:<digest>` and `<prefix>:open-caller:<digest>`:
//   a session's and a caller's open challenges, scored by their deadline
//   and removed when taken. The digest (of the session or caller, see
//   NameDigest) keeps any bytes out of key names.
// Members past their score no longer count but stay until a later call
// trims them, at most kCleanupBatch per set and call, so that no call does
// work in proportion to what has expired: a burst of 500,000 expired
// entries once held Redis for 179 ms in one issue. Every set carries a
// time to live as long as its last member's score, so a quiet one goes.
//
// A challenge key holds "open DEADLINE sSESSION cCALLER PAYLOAD" (the two
// digests name its open sets) and lives twice its time to live: past the
// deadline it is still found and judged expired, and a taken one is
// rewritten as "taken FINGERPRINT VERDICT PAYLOAD" for the rest of its
// life, so that a replay is named as such rather than as unknown, and the
// answer that took it, sent again, gets its verdict back (VERDICT "-"
// until it has one: the taker may never have heard back). "open DEADLINE
// PAYLOAD" (no open sets) and "used" are what earlier kits wrote.

// KEYS: challenge, the kind's held set, the session's and the caller's open
// sets. ARGV: payload, ttl ms, the kind's room, max open per session, max
// open per caller, session digest, caller digest.
// 1 stored, -1 id taken, -2 the kind full, -3 session limit, -4 caller limit.
const std::string kPutScript = std::string(kNowLua) + kSetsLua +
    "if live(KEYS[3]) >= tonumber(ARGV[4]) then return -3 end "
    "if live(KEYS[4]) >= tonumber(ARGV[5]) then return -4 end "
    "if live(KEYS[2]) >= tonumber(ARGV[3]) then return -2 end "
    "local ttl = tonumber(ARGV[2]) "
    "local deadline = now + ttl "
    "if not redis.call('SET', KEYS[1], 'open ' .. string.format('%d', deadline) .. ' s' .. "
    "ARGV[6] .. ' c' .. ARGV[7] .. ' ' .. ARGV[1], 'NX', 'PX', 2 * ttl) then return -1 end "
    "add(KEYS[2], now + 2 * ttl, KEYS[1]) "
    "add(KEYS[3], deadline, KEYS[1]) "
    "add(KEYS[4], deadline, KEYS[1]) "
    "return 1";

// KEYS: challenge. ARGV: fingerprint, prefix. See DecodeTake. The open
// sets a take leaves are named by the challenge's own value, not by KEYS:
// only the value knows its session and caller, and on one Redis any key
// may be reached (a cluster takes in steps instead). A repeat that has no
// verdict yet writes its value again: a WAIT after it then also covers
// the first take, which its taker may have seen go unacknowledged.
const std::string kTakeScript = std::string(
    "local v = redis.call('GET', KEYS[1]) "
    "if not v then return {0} end "
    "if v == 'used' then return {1} end "
    "local fp, verdict, taken = string.match(v, '^taken (%x+) (%S+) (.*)$') "
    "if fp then "
    "  if fp ~= ARGV[1] then return {1} end "
    "  if verdict == '-' then redis.call('SET', KEYS[1], v, 'XX', 'KEEPTTL') end "
    "  return {5, taken, verdict} "
    "end ") + kNowLua +
    "local deadline, session, caller, payload = "
    "  string.match(v, '^open (%d+) s(%x+) c(%x+) (.*)$') "
    "if not deadline then deadline, payload = string.match(v, '^open (%d+) (.*)$') end "
    "if not deadline then return {4} end "
    "if now >= tonumber(deadline) then return {2} end "
    "redis.call('SET', KEYS[1], 'taken ' .. ARGV[1] .. ' - ' .. payload, 'XX', 'KEEPTTL') "
    "if session then "
    "  redis.call('ZREM', ARGV[2] .. ':open-session:' .. session, KEYS[1]) "
    "  redis.call('ZREM', ARGV[2] .. ':open-caller:' .. caller, KEYS[1]) "
    "end "
    "return {3, payload}";

// KEYS: challenge. ARGV: fingerprint, verdict. 1 kept, 0 not taken by it.
const char kKeepScript[] =
    "local v = redis.call('GET', KEYS[1]) "
    "if not v then return 0 end "
    "local fp, verdict, payload = string.match(v, '^taken (%x+) (%S+) (.*)$') "
    "if fp ~= ARGV[1] then return 0 end "
    "redis.call('SET', KEYS[1], 'taken ' .. fp .. ' ' .. ARGV[2] .. ' ' .. payload, 'XX', "
    "'KEEPTTL') "
    "return 1";

// KEYS: report, the hard-cheat held set (none in a cluster). ARGV:
// session, ttl ms, the hard-cheat room. 1 bound (now or before, to this
// session), 0 bound to another, -2 full.
const std::string kBindScript = std::string(
    "local v = redis.call('GET', KEYS[1]) "
    "if v then if v == ARGV[1] then return 1 else return 0 end end ") + kNowLua + kSetsLua +
    "if KEYS[2] and live(KEYS[2]) >= tonumber(ARGV[3]) then return -2 end "
    "redis.call('SET', KEYS[1], ARGV[1], 'PX', tonumber(ARGV[2])) "
    "if KEYS[2] then add(KEYS[2], now + tonumber(ARGV[2]), KEYS[1]) end "
    "return 1";

// KEYS: report, the hard-cheat held set (none in a cluster). ARGV:
// session. 1 released, 0 unknown, -1 another's.
const char kReleaseScript[] =
    "local v = redis.call('GET', KEYS[1]) "
    "if not v then return 0 end "
    "if v ~= ARGV[1] then return -1 end "
    "redis.call('DEL', KEYS[1]) "
    "if KEYS[2] then redis.call('ZREM', KEYS[2], KEYS[1]) end "
    "return 1";

// KEYS: the kind's held set. The count by Redis's clock, after trimming a
// batch, as the issue script counts.
const std::string kHeldScript = std::string(kNowLua) + kSetsLua + "return live(KEYS[1]) ";

const char* HeldSetName(ChallengeKind kind) {
  return kind == ChallengeKind::kLogin ? ":held:login" : ":held:hard-cheat";
}

}  // namespace

RedisChallengeStore::RedisChallengeStore(const RedisStoreAddress& address,
                                         const ChallengeStoreOptions& options)
    : ChallengeStore(options), route_(MakeRedisRoute(address)), address_(address) {}

RedisChallengeStore::~RedisChallengeStore() = default;

// A cluster puts every key of one challenge, report, session or caller in
// the hash slot of its id or digest; one Redis keeps the names earlier
// kits wrote.
std::string RedisChallengeStore::ChallengeKey(const Bytes& id) const {
  return InCluster() ? address_.prefix + ":challenge:{" + ToHex(id) + "}"
                     : address_.prefix + ":challenge:" + ToHex(id);
}

std::string RedisChallengeStore::ReportKey(const Bytes& id) const {
  return InCluster() ? address_.prefix + ":report:{" + ToHex(id) + "}"
                     : address_.prefix + ":report:" + ToHex(id);
}

Verdict RedisChallengeStore::Ping() {
  std::string error;
  if (!route_->Ping(error)) return Unavailable(error);
  return Accept();
}

std::uint64_t RedisChallengeStore::Timeouts() const { return route_->timeouts(); }

bool RedisChallengeStore::CountsEntries() const { return !InCluster(); }

Verdict RedisChallengeStore::HeldEntries(ChallengeKind kind, std::size_t& held) {
  if (InCluster()) {
    return Unavailable("a Redis Cluster store counts no entries: its room is maxmemory");
  }
  ReplyPtr reply;
  long long number = 0;
  Verdict verdict = RunScript(*route_, kHeldScript, {address_.prefix + HeldSetName(kind)}, {},
                              reply);
  if (verdict.ok()) verdict = IntegerOf(reply, number);
  if (verdict.ok()) held = static_cast<std::size_t>(number);
  return verdict;
}

Verdict RedisChallengeStore::Put(const StoredChallenge& entry, const std::string& caller,
                                 std::chrono::milliseconds ttl) {
  std::string session;
  std::string asker;
  if (!NameDigest(entry.session, session) || !NameDigest(caller, asker)) {
    return CryptoFailure("SHA-256 failed");
  }
  if (InCluster()) return PutInCluster(entry, session, asker, ttl);
  const std::string& prefix = address_.prefix;
  const std::size_t room = MaxEntriesOf(options(), entry.kind);
  ReplyPtr reply;
  Verdict verdict = RunScript(
      *route_, kPutScript,
      {ChallengeKey(entry.challenge.id), prefix + HeldSetName(entry.kind),
       prefix + ":open-session:" + session, prefix + ":open-caller:" + asker},
      {EncodePayload(entry), std::to_string(ttl.count()), std::to_string(room),
       std::to_string(options().maxOpenPerSession), std::to_string(options().maxOpenPerCaller),
       session, asker},
      reply);
  long long result = 0;
  if (verdict.ok()) verdict = IntegerOf(reply, result);
  if (!verdict.ok()) return verdict;
  switch (result) {
    case 1: return Accept();
    case -1: return RepeatedChallengeId();
    case -2: return StoreFull(entry.kind, room);
    case -3: return SessionLimit(options().maxOpenPerSession);
    case -4: return CallerLimit(options().maxOpenPerCaller);
    default: return Unavailable("Redis answered an unexpected number");
  }
}

Verdict RedisChallengeStore::Take(const Bytes& id, const Bytes& fingerprint,
                                  TakenChallenge& out) {
  if (InCluster()) return TakeInCluster(id, fingerprint, out);
  // Behind Sentinel a take counts only once a replica has it: a failover
  // to a replica without it would bring the challenge back open for a
  // second answer. WAIT gives up well within the command's time-out.
  std::vector<RedisCommand> after;
  const bool replicated = address_.topology == RedisTopology::kSentinel;
  const long long waitMs = std::max<long long>(1, address_.timeout.count() / 2);
  if (replicated) after.push_back({"WAIT", "1", std::to_string(waitMs)});
  std::vector<ReplyPtr> replies;
  Verdict verdict = RunScript(*route_, kTakeScript, {ChallengeKey(id)},
                              {ToHex(fingerprint), address_.prefix}, replies, after);
  if (!verdict.ok()) return verdict;
  verdict = DecodeTake(*replies.front(), id, out);
  if (!verdict.ok() || !replicated) return verdict;
  const redisReply& acknowledged = *replies.back();
  if (acknowledged.type != REDIS_REPLY_INTEGER || acknowledged.integer < 1) {
    out = TakenChallenge{};
    return Unavailable("no Redis replica acknowledged the take of " + ToHex(id) + " within " +
                       std::to_string(waitMs) + " ms");
  }
  return verdict;
}

Verdict RedisChallengeStore::KeepVerdict(const Bytes& id, const Bytes& fingerprint,
                                         const Verdict& verdict) {
  ReplyPtr reply;
  return RunScript(*route_, kKeepScript, {ChallengeKey(id)},
                   {ToHex(fingerprint), EncodeVerdict(verdict)}, reply);
}

Verdict RedisChallengeStore::BindReport(const Bytes& reportId, const std::string& session,
                                        std::chrono::milliseconds ttl) {
  const std::size_t room = MaxEntriesOf(options(), ChallengeKind::kHardCheat);
  std::vector<std::string> keys = {ReportKey(reportId)};
  if (!InCluster()) keys.push_back(address_.prefix + HeldSetName(ChallengeKind::kHardCheat));
  ReplyPtr reply;
  Verdict verdict = RunScript(*route_, kBindScript, keys,
                              {session, std::to_string(ttl.count()), std::to_string(room)}, reply);
  long long result = 0;
  if (verdict.ok()) verdict = IntegerOf(reply, result);
  if (!verdict.ok()) return verdict;
  if (result == -2) return StoreFull(ChallengeKind::kHardCheat, room);
  if (result == 0) {
    return ReportWrongSession(reportId);
  }
  return Accept();
}

Verdict RedisChallengeStore::ReleaseReport(const Bytes& reportId, const std::string& session) {
  std::vector<std::string> keys = {ReportKey(reportId)};
  if (!InCluster()) keys.push_back(address_.prefix + HeldSetName(ChallengeKind::kHardCheat));
  ReplyPtr reply;
  Verdict verdict = RunScript(*route_, kReleaseScript, keys, {session}, reply);
  long long result = 0;
  if (verdict.ok()) verdict = IntegerOf(reply, result);
  if (!verdict.ok()) return verdict;
  if (result == 0) {
    return ReportUnknown(reportId);
  }
  if (result == -1) {
    return ReportWrongSession(reportId);
  }
  return Accept();
}

}  // namespace zarnel::serverkit
