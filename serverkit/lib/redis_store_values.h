// What RedisChallengeStore writes into Redis and reads back, and how it
// runs its scripts, shared by its one-Redis and its cluster layouts.
// Private to the kit.
#pragma once

#include <string>
#include <vector>

#include <hiredis/hiredis.h>

#include "bytes.h"
#include "challenge_store.h"
#include "redis_route.h"
#include "verdict.h"

namespace zarnel::serverkit {

// Sets `now` (ms) by Redis's own TIME, so the servers' clocks never matter.
extern const char kNowLua[];
// Needs `now`. trim: drops at most a batch of members past their score;
// live: the members still counting; add: a member, and the set's time to
// live stretched to cover it.
extern const char kSetsLua[];

// "KIND VERSION BUILD NONCE SESSION"; the session, last, may hold spaces.
std::string EncodePayload(const StoredChallenge& entry);
bool DecodePayload(const std::string& payload, const Bytes& id, StoredChallenge& out);

// "CHECK:DETAIL-IN-HEX", no spaces, for a taken challenge's value.
std::string EncodeVerdict(const Verdict& verdict);
bool DecodeVerdict(const std::string& text, Verdict& verdict);

// A session's or caller's name in a key: the first 16 bytes of its
// SHA-256, in hex. Two names would share a count only by a collision of
// 128 bits.
bool NameDigest(const std::string& name, std::string& out);

std::string ReplyText(const redisReply& reply);
Verdict Unavailable(const std::string& detail);

// Runs `script` on the node of keys[0] with `after` on the same
// connection; the script's reply in `replies[0]`, the others' after it.
// Redis out of memory (maxmemory with noeviction) is store-full, any other
// error reply and no reply store-unavailable.
Verdict RunScript(RedisRoute& route, const std::string& script,
                  const std::vector<std::string>& keys, const std::vector<std::string>& arguments,
                  std::vector<ReplyPtr>& replies, const std::vector<RedisCommand>& after = {});
// The same, for one reply.
Verdict RunScript(RedisRoute& route, const std::string& script,
                  const std::vector<std::string>& keys, const std::vector<std::string>& arguments,
                  ReplyPtr& reply);
Verdict IntegerOf(const ReplyPtr& reply, long long& number);

// A take script's reply: {0} unknown, {1} used, {2} expired, {3, payload,
// ...} taken now, {4} malformed, {5, payload, verdict} taken before by the
// same fingerprint.
Verdict DecodeTake(const redisReply& reply, const Bytes& id, TakenChallenge& out);

}  // namespace zarnel::serverkit
