// RedisChallengeStore's layout in a Redis Cluster, where one script may
// only touch the keys of one hash slot. Keys are tagged by what they
// belong to: `<prefix>:challenge:{<id>}`, `<prefix>:report:{<id>}`,
// `<prefix>:open-session:{<digest>}` and `<prefix>:open-caller:{<digest>}`.
// An issue reserves a place in the session's open set, then in the
// caller's, then writes the challenge, each a script on its own slot, and
// gives back what it reserved when a later step fails; a take takes the
// challenge, then removes its marks from the two sets. A crash between
// steps leaves a mark that counts until its deadline, no longer: the
// marks are scored by it, as on one Redis. There are no held sets: a
// cluster's room is each node's maxmemory (with noeviction), and a node
// out of memory refuses issues as store-full.
#include "redis_challenge_store.h"

#include "internal/rejections.h"
#include "redis_route.h"
#include "redis_store_values.h"

namespace zarnel::serverkit {

namespace {

// KEYS: an open set. ARGV: the challenge's key, ttl ms, the set's limit.
// 1 reserved until the deadline, 0 the limit reached.
const std::string kReserveScript = std::string(kNowLua) + kSetsLua +
    "if live(KEYS[1]) >= tonumber(ARGV[3]) then return 0 end "
    "add(KEYS[1], now + tonumber(ARGV[2]), ARGV[1]) "
    "return 1";

// KEYS: challenge. ARGV: payload, ttl ms, session digest, caller digest.
// 1 stored, -1 id taken.
const std::string kPutScript = std::string(kNowLua) +
    "local ttl = tonumber(ARGV[2]) "
    "if not redis.call('SET', KEYS[1], 'open ' .. string.format('%d', now + ttl) .. ' s' .. "
    "ARGV[3] .. ' c' .. ARGV[4] .. ' ' .. ARGV[1], 'NX', 'PX', 2 * ttl) then return -1 end "
    "return 1";

// KEYS: challenge. ARGV: fingerprint. As the one-Redis take (see
// DecodeTake), but a take now also returns the session's and the
// caller's digests, whose marks the store then removes. A node out of
// memory refuses the rewrite to "taken": the challenge is deleted
// instead (DEL frees memory and is allowed), so that it still cannot be
// taken twice, and a repeat of its answer is then challenge-unknown.
const std::string kTakeScript = std::string(
    "local v = redis.call('GET', KEYS[1]) "
    "if not v then return {0} end "
    "local fp, verdict, taken = string.match(v, '^taken (%x+) (%S+) (.*)$') "
    "if fp then "
    "  if fp ~= ARGV[1] then return {1} end "
    "  return {5, taken, verdict} "
    "end ") + kNowLua +
    "local deadline, session, caller, payload = "
    "  string.match(v, '^open (%d+) s(%x+) c(%x+) (.*)$') "
    "if not deadline then return {4} end "
    "if now >= tonumber(deadline) then return {2} end "
    "local written = redis.pcall('SET', KEYS[1], 'taken ' .. ARGV[1] .. ' - ' .. payload, "
    "'XX', 'KEEPTTL') "
    "if type(written) == 'table' and written.err then redis.call('DEL', KEYS[1]) end "
    "return {3, payload, session, caller}";

}  // namespace

Verdict RedisChallengeStore::PutInCluster(const StoredChallenge& entry, const std::string& session,
                                          const std::string& caller,
                                          std::chrono::milliseconds ttl) {
  const std::string challengeKey = ChallengeKey(entry.challenge.id);
  const std::string ttlText = std::to_string(ttl.count());
  struct Mark {
    std::string key;
    std::size_t limit;
    Verdict refusal;
  };
  const Mark marks[] = {
      {address_.prefix + ":open-session:{" + session + "}", options().maxOpenPerSession,
       SessionLimit(options().maxOpenPerSession)},
      {address_.prefix + ":open-caller:{" + caller + "}", options().maxOpenPerCaller,
       CallerLimit(options().maxOpenPerCaller)},
  };
  // Gives back what was reserved; a failure only leaves the mark to count
  // until its deadline.
  std::size_t reserved = 0;
  const auto giveBack = [&] {
    for (std::size_t i = 0; i < reserved; ++i) {
      std::string ignored;
      RunOne(*route_, marks[i].key, {"ZREM", marks[i].key, challengeKey}, ignored);
    }
  };
  for (const Mark& mark : marks) {
    ReplyPtr reply;
    long long result = 0;
    Verdict verdict = RunScript(*route_, kReserveScript, {mark.key},
                                {challengeKey, ttlText, std::to_string(mark.limit)}, reply);
    if (verdict.ok()) verdict = IntegerOf(reply, result);
    if (verdict.ok() && result != 1) verdict = mark.refusal;
    if (!verdict.ok()) {
      giveBack();
      return verdict;
    }
    ++reserved;
  }
  ReplyPtr reply;
  long long result = 0;
  Verdict verdict = RunScript(*route_, kPutScript, {challengeKey},
                              {EncodePayload(entry), ttlText, session, caller}, reply);
  if (verdict.ok()) verdict = IntegerOf(reply, result);
  if (verdict.ok() && result != 1) verdict = RepeatedChallengeId();
  if (!verdict.ok()) giveBack();
  return verdict;
}

Verdict RedisChallengeStore::TakeInCluster(const Bytes& id, const Bytes& fingerprint,
                                           TakenChallenge& out) {
  const std::string challengeKey = ChallengeKey(id);
  ReplyPtr reply;
  Verdict verdict = RunScript(*route_, kTakeScript, {challengeKey}, {ToHex(fingerprint)}, reply);
  if (!verdict.ok()) return verdict;
  verdict = DecodeTake(*reply, id, out);
  if (!verdict.ok() || out.repeat || reply->elements != 4) return verdict;
  for (const auto& [kind, index] : {std::pair<const char*, std::size_t>{":open-session:{", 2},
                                    {":open-caller:{", 3}}) {
    if (reply->element[index]->type != REDIS_REPLY_STRING) continue;
    const std::string key = address_.prefix + kind + ReplyText(*reply->element[index]) + "}";
    std::string ignored;
    RunOne(*route_, key, {"ZREM", key, challengeKey}, ignored);
  }
  return verdict;
}

}  // namespace zarnel::serverkit
