#include "redis_store_values.h"

#include <cstdlib>

#include "internal/rejections.h"
#include "redis_challenge_store.h"
#include "sha256.h"

namespace zarnel::serverkit {

const char kNowLua[] =
    "local t = redis.call('TIME') "
    "local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000) ";

// Constant data (no constructor), so that the scripts of other files may
// be built from it while the program starts.
const char kSetsLua[] =
    "local function trim(key) "
    "  local gone = redis.call('ZRANGEBYSCORE', key, '-inf', now, 'LIMIT', 0, 64) "
    "  if #gone > 0 then redis.call('ZREM', key, unpack(gone)) end "
    "end "
    "local function live(key) "
    "  trim(key) "
    "  return redis.call('ZCOUNT', key, '(' .. string.format('%d', now), '+inf') "
    "end "
    "local function add(key, score, member) "
    "  redis.call('ZADD', key, score, member) "
    "  if redis.call('PTTL', key) < score - now then "
    "    redis.call('PEXPIRE', key, score - now) "
    "  end "
    "end ";
static_assert(RedisChallengeStore::kCleanupBatch == 64, "trim's LIMIT is kCleanupBatch");

std::string EncodePayload(const StoredChallenge& entry) {
  return std::to_string(static_cast<int>(entry.kind)) + ' ' +
         std::to_string(entry.challenge.version) + ' ' + std::to_string(entry.challenge.build) +
         ' ' + ToHex(entry.challenge.nonce) + ' ' + entry.session;
}

bool DecodePayload(const std::string& payload, const Bytes& id, StoredChallenge& out) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (int field = 0; field < 4; ++field) {
    const std::size_t space = payload.find(' ', start);
    if (space == std::string::npos) return false;
    parts.push_back(payload.substr(start, space - start));
    start = space + 1;
  }
  const std::string session = payload.substr(start);
  if (parts[0] != "1" && parts[0] != "2") return false;
  for (int field = 1; field <= 2; ++field) {
    if (parts[field].empty() || parts[field].size() > 10 ||
        parts[field].find_first_not_of("0123456789") != std::string::npos) {
      return false;
    }
  }
  const unsigned long version = std::strtoul(parts[1].c_str(), nullptr, 10);
  if (version > 0xFFFF) return false;
  out.kind = parts[0] == "1" ? ChallengeKind::kLogin : ChallengeKind::kHardCheat;
  out.challenge.version = static_cast<std::uint16_t>(version);
  out.challenge.build = static_cast<std::uint32_t>(std::strtoul(parts[2].c_str(), nullptr, 10));
  out.challenge.id = id;
  out.session = session;
  return FromHex(parts[3], out.challenge.nonce);
}

std::string EncodeVerdict(const Verdict& verdict) {
  return std::string(CheckName(verdict.check)) + ':' +
         ToHex(Bytes(verdict.detail.begin(), verdict.detail.end()));
}

bool DecodeVerdict(const std::string& text, Verdict& verdict) {
  const std::size_t colon = text.find(':');
  Bytes detail;
  if (colon == std::string::npos || !CheckFromName(text.substr(0, colon), verdict.check) ||
      !FromHex(std::string_view(text).substr(colon + 1), detail)) {
    return false;
  }
  verdict.detail.assign(detail.begin(), detail.end());
  return true;
}

bool NameDigest(const std::string& name, std::string& out) {
  Bytes digest;
  if (!Sha256(reinterpret_cast<const std::uint8_t*>(name.data()), name.size(), digest)) {
    return false;
  }
  digest.resize(16);
  out = ToHex(digest);
  return true;
}

std::string ReplyText(const redisReply& reply) { return std::string(reply.str, reply.len); }

Verdict Unavailable(const std::string& detail) {
  return Reject(Check::kStoreUnavailable, detail);
}

Verdict RunScript(RedisRoute& route, const std::string& script,
                  const std::vector<std::string>& keys, const std::vector<std::string>& arguments,
                  std::vector<ReplyPtr>& replies, const std::vector<RedisCommand>& after) {
  RedisCommand command = {"EVAL", script, std::to_string(keys.size())};
  command.insert(command.end(), keys.begin(), keys.end());
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::vector<RedisCommand> commands = {std::move(command)};
  commands.insert(commands.end(), after.begin(), after.end());
  std::string error;
  if (!route.Run(keys.front(), commands, replies, error)) return Unavailable(error);
  const redisReply& reply = *replies.front();
  // Refused before or at the script's first write: nothing was stored,
  // and nothing will be until entries expire.
  if (IsErrorCode(reply, "OOM")) {
    return Reject(Check::kStoreFull,
                  "Redis holds its maxmemory: nothing more is stored until entries expire");
  }
  if (reply.type == REDIS_REPLY_ERROR) {
    return Unavailable("Redis refused the store's script: " + ReplyText(reply));
  }
  return Accept();
}

Verdict RunScript(RedisRoute& route, const std::string& script,
                  const std::vector<std::string>& keys, const std::vector<std::string>& arguments,
                  ReplyPtr& reply) {
  std::vector<ReplyPtr> replies;
  const Verdict verdict = RunScript(route, script, keys, arguments, replies);
  if (!replies.empty()) reply = std::move(replies.front());
  return verdict;
}

Verdict IntegerOf(const ReplyPtr& reply, long long& number) {
  if (reply->type != REDIS_REPLY_INTEGER) return Unavailable("Redis answered an unexpected type");
  number = reply->integer;
  return Accept();
}

Verdict DecodeTake(const redisReply& reply, const Bytes& id, TakenChallenge& out) {
  if (reply.type != REDIS_REPLY_ARRAY || reply.elements < 1 ||
      reply.element[0]->type != REDIS_REPLY_INTEGER) {
    return Unavailable("Redis answered an unexpected type");
  }
  const auto isText = [&reply](std::size_t index) {
    return reply.elements > index && reply.element[index]->type == REDIS_REPLY_STRING;
  };
  out = TakenChallenge{};
  switch (reply.element[0]->integer) {
    case 0: return ChallengeUnknown(id);
    case 1: return ChallengeUsed();
    case 2: return ChallengeExpired();
    case 3:
      if (isText(1) && DecodePayload(ReplyText(*reply.element[1]), id, out.stored)) {
        return Accept();
      }
      break;
    case 5: {
      if (reply.elements != 3 || !isText(1) || !isText(2) ||
          !DecodePayload(ReplyText(*reply.element[1]), id, out.stored)) {
        break;
      }
      out.repeat = true;
      const std::string kept = ReplyText(*reply.element[2]);
      if (kept == "-") return Accept();
      Verdict judged;
      if (!DecodeVerdict(kept, judged)) break;
      out.verdict = judged;
      return Accept();
    }
    default: break;
  }
  // Written by something other than this kit: never treated as a challenge.
  return Unavailable("the stored challenge " + ToHex(id) + " is malformed");
}

}  // namespace zarnel::serverkit
