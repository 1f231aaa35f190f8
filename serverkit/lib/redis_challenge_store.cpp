#include "redis_challenge_store.h"

#include <cstdlib>
#include <vector>

#include "internal/crypto_failure.h"
#include "internal/rejections.h"
#include "redis_connection_pool.h"
#include "sha256.h"

namespace zarnel::serverkit {

namespace {

// Each script runs atomically in Redis. Times come from Redis's TIME, so
// the servers' clocks never matter.
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
constexpr char kNowLua[] =
    "local t = redis.call('TIME') "
    "local now = tonumber(t[1]) * 1000 + math.floor(tonumber(t[2]) / 1000) ";

// Needs `now`. trim: drops at most a batch of members past their score;
// live: the members still counting; add: a member, and the set's time to
// live stretched to cover it.
const std::string kSetsLua =
    "local function trim(key) "
    "  local gone = redis.call('ZRANGEBYSCORE', key, '-inf', now, 'LIMIT', 0, " +
    std::to_string(RedisChallengeStore::kCleanupBatch) +
    ") "
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

// KEYS: challenge. ARGV: fingerprint, prefix. {0} unknown, {1} used, {2}
// expired, {3, payload} taken now, {5, payload, verdict} taken before by
// the same fingerprint. The open sets a take leaves are named by the
// challenge's own value, not by KEYS: only the value knows its session and
// caller. (A script of the store spans keys of several hash slots anyway:
// the store runs on one Redis, never a cluster.)
const std::string kTakeScript = std::string(
    "local v = redis.call('GET', KEYS[1]) "
    "if not v then return {0} end "
    "if v == 'used' then return {1} end "
    "local fp, verdict, taken = string.match(v, '^taken (%x+) (%S+) (.*)$') "
    "if fp then "
    "  if fp ~= ARGV[1] then return {1} end "
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

// KEYS: report, the hard-cheat held set. ARGV: session, ttl ms, the
// hard-cheat room. 1 bound (now or before, to this session), 0 bound to
// another, -2 full.
const std::string kBindScript = std::string(
    "local v = redis.call('GET', KEYS[1]) "
    "if v then if v == ARGV[1] then return 1 else return 0 end end ") + kNowLua + kSetsLua +
    "if live(KEYS[2]) >= tonumber(ARGV[3]) then return -2 end "
    "redis.call('SET', KEYS[1], ARGV[1], 'PX', tonumber(ARGV[2])) "
    "add(KEYS[2], now + tonumber(ARGV[2]), KEYS[1]) "
    "return 1";

// KEYS: report, the hard-cheat held set. ARGV: session. 1 released, 0
// unknown, -1 another's.
const char kReleaseScript[] =
    "local v = redis.call('GET', KEYS[1]) "
    "if not v then return 0 end "
    "if v ~= ARGV[1] then return -1 end "
    "redis.call('DEL', KEYS[1]) "
    "redis.call('ZREM', KEYS[2], KEYS[1]) "
    "return 1";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool PercentDecode(const std::string& text, std::string& out) {
  out.clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0) return false;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

bool IsPrefixCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         c == '.' || c == '_' || c == '-';
}

// "KIND VERSION BUILD NONCE SESSION"; the session, last, may hold spaces.
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

Verdict Unavailable(const std::string& detail) {
  return Reject(Check::kStoreUnavailable, detail);
}

// "CHECK:DETAIL-IN-HEX", no spaces, for a taken challenge's value.
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

std::string ReplyText(const redisReply* reply) { return std::string(reply->str, reply->len); }

// A session's or caller's name in a key: the first 16 bytes of its
// SHA-256, in hex. Two names would share a count only by a collision of
// 128 bits.
bool NameDigest(const std::string& name, std::string& out) {
  Bytes digest;
  if (!Sha256(reinterpret_cast<const std::uint8_t*>(name.data()), name.size(), digest)) {
    return false;
  }
  digest.resize(16);
  out = ToHex(digest);
  return true;
}

const char* HeldSetName(ChallengeKind kind) {
  return kind == ChallengeKind::kLogin ? ":held:login" : ":held:hard-cheat";
}

}  // namespace

bool ParseRedisStoreUrl(const std::string& url, RedisStoreAddress& address, std::string& error) {
  const std::string scheme = "redis://";
  if (url.rfind(scheme, 0) != 0) {
    error = "store must be memory or redis://[[USER]:PASSWORD@]HOST:PORT/PREFIX";
    return false;
  }
  std::string rest = url.substr(scheme.size());
  // The credentials end at the last '@': neither host, port nor prefix may
  // hold one, while a password may.
  std::string user;
  std::string password;
  const std::size_t at = rest.rfind('@');
  if (at != std::string::npos) {
    const std::string credentials = rest.substr(0, at);
    const std::size_t separator = credentials.find(':');
    if (separator == std::string::npos) {
      error = "Redis credentials must be USER:PASSWORD@ or :PASSWORD@";
      return false;
    }
    if (!PercentDecode(credentials.substr(0, separator), user) ||
        !PercentDecode(credentials.substr(separator + 1), password)) {
      error = "Redis credentials hold a '%' that is not followed by two hex digits";
      return false;
    }
    if (password.empty()) {
      error = "Redis password must not be empty";
      return false;
    }
    rest = rest.substr(at + 1);
  }
  const std::size_t slash = rest.find('/');
  const std::size_t colon = rest.rfind(':', slash);
  if (slash == std::string::npos || colon == std::string::npos || colon == 0) {
    error = "Redis store must be redis://[[USER]:PASSWORD@]HOST:PORT/PREFIX";
    return false;
  }
  const std::string port = rest.substr(colon + 1, slash - colon - 1);
  if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(port) < 1 || std::stoi(port) > 65535) {
    error = "Redis port must be 1 to 65535";
    return false;
  }
  const std::string prefix = rest.substr(slash + 1);
  if (prefix.empty() || prefix.size() > 64) {
    error = "Redis key prefix must be 1 to 64 characters";
    return false;
  }
  for (char c : prefix) {
    if (!IsPrefixCharacter(c)) {
      error = "Redis key prefix may hold only A-Z, a-z, 0-9, '.', '_' and '-'";
      return false;
    }
  }
  address.host = rest.substr(0, colon);
  address.port = std::stoi(port);
  address.prefix = prefix;
  address.user = user;
  address.password = password;
  return true;
}

RedisChallengeStore::RedisChallengeStore(const RedisStoreAddress& address,
                                         const ChallengeStoreOptions& options)
    : ChallengeStore(options),
      connections_(std::make_unique<RedisConnectionPool>(address)),
      address_(address) {}

RedisChallengeStore::~RedisChallengeStore() = default;

namespace {

// Runs a script; an integer reply lands in `number`, an array in `reply`.
Verdict RunScript(RedisConnectionPool& pool, const std::string& script,
                  std::vector<std::string> keys, std::vector<std::string> arguments,
                  ReplyPtr& reply) {
  std::vector<std::string> command = {"EVAL", script, std::to_string(keys.size())};
  command.insert(command.end(), keys.begin(), keys.end());
  command.insert(command.end(), arguments.begin(), arguments.end());
  std::string error;
  reply = pool.Command(command, error);
  if (!reply) return Unavailable(error);
  if (reply->type == REDIS_REPLY_ERROR) {
    return Unavailable("Redis refused the store's script: " +
                       std::string(reply->str, reply->len));
  }
  return Accept();
}

Verdict IntegerOf(const ReplyPtr& reply, long long& number) {
  if (reply->type != REDIS_REPLY_INTEGER) return Unavailable("Redis answered an unexpected type");
  number = reply->integer;
  return Accept();
}

}  // namespace

Verdict RedisChallengeStore::Ping() {
  std::string error;
  ReplyPtr reply = connections_->Command({"PING"}, error);
  if (!reply) return Unavailable(error);
  if (reply->type != REDIS_REPLY_STATUS) return Unavailable("Redis did not answer PING");
  return Accept();
}

// KEYS: the kind's held set. The count by Redis's clock, after trimming a
// batch, as the issue script counts.
const std::string kHeldScript = std::string(kNowLua) + kSetsLua + "return live(KEYS[1]) ";

std::uint64_t RedisChallengeStore::Timeouts() const { return connections_->timeouts(); }

Verdict RedisChallengeStore::HeldEntries(ChallengeKind kind, std::size_t& held) {
  ReplyPtr reply;
  long long number = 0;
  Verdict verdict = RunScript(*connections_, kHeldScript, {address_.prefix + HeldSetName(kind)},
                              {}, reply);
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
  const std::string& prefix = address_.prefix;
  const std::size_t room = MaxEntriesOf(options(), entry.kind);
  ReplyPtr reply;
  Verdict verdict = RunScript(
      *connections_, kPutScript,
      {prefix + ":challenge:" + ToHex(entry.challenge.id), prefix + HeldSetName(entry.kind),
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
  ReplyPtr reply;
  Verdict verdict = RunScript(*connections_, kTakeScript,
                              {address_.prefix + ":challenge:" + ToHex(id)},
                              {ToHex(fingerprint), address_.prefix}, reply);
  if (!verdict.ok()) return verdict;
  if (reply->type != REDIS_REPLY_ARRAY || reply->elements < 1 ||
      reply->element[0]->type != REDIS_REPLY_INTEGER) {
    return Unavailable("Redis answered an unexpected type");
  }
  const auto isText = [&reply](std::size_t index) {
    return reply->elements > index && reply->element[index]->type == REDIS_REPLY_STRING;
  };
  out = TakenChallenge{};
  switch (reply->element[0]->integer) {
    case 0: return ChallengeUnknown(id);
    case 1: return ChallengeUsed();
    case 2: return ChallengeExpired();
    case 3:
      if (reply->elements == 2 && isText(1) &&
          DecodePayload(ReplyText(reply->element[1]), id, out.stored)) {
        return Accept();
      }
      break;
    case 5: {
      if (reply->elements != 3 || !isText(1) || !isText(2) ||
          !DecodePayload(ReplyText(reply->element[1]), id, out.stored)) {
        break;
      }
      out.repeat = true;
      const std::string kept = ReplyText(reply->element[2]);
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

Verdict RedisChallengeStore::KeepVerdict(const Bytes& id, const Bytes& fingerprint,
                                         const Verdict& verdict) {
  ReplyPtr reply;
  return RunScript(*connections_, kKeepScript, {address_.prefix + ":challenge:" + ToHex(id)},
                   {ToHex(fingerprint), EncodeVerdict(verdict)}, reply);
}

Verdict RedisChallengeStore::BindReport(const Bytes& reportId, const std::string& session,
                                        std::chrono::milliseconds ttl) {
  const std::size_t room = MaxEntriesOf(options(), ChallengeKind::kHardCheat);
  ReplyPtr reply;
  Verdict verdict = RunScript(*connections_, kBindScript,
                              {address_.prefix + ":report:" + ToHex(reportId),
                               address_.prefix + HeldSetName(ChallengeKind::kHardCheat)},
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
  ReplyPtr reply;
  Verdict verdict = RunScript(
      *connections_, kReleaseScript,
      {address_.prefix + ":report:" + ToHex(reportId),
       address_.prefix + HeldSetName(ChallengeKind::kHardCheat)},
      {session}, reply);
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
