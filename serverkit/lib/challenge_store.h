// The server's memory of the challenges it issued. A proof or report only
// means something for a challenge that this server handed to this session
// a short while ago and that no earlier answer used: the store keeps that
// memory, so that a captured proof or report never verifies twice.
//
// The stateless checks (login_proof.h, hard_cheat_report.h) stay the core;
// the store takes the issued challenge out and hands it to them. Two stores
// share this interface: MemoryChallengeStore (one process) and
// RedisChallengeStore (a fleet of login servers).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "bytes.h"
#include "challenge.h"
#include "hard_cheat_report.h"
#include "login_proof.h"
#include "verdict.h"

namespace zarnel::serverkit {

enum class ChallengeKind : std::uint8_t { kLogin = 1, kHardCheat = 2 };

const char* ChallengeKindName(ChallengeKind kind);

// A session is whatever the server ties a connection to: an account name,
// a session token. It is compared byte for byte.
constexpr std::size_t kMaxSessionSize = 256;

struct ChallengeStoreOptions {
  std::chrono::milliseconds loginTtl{std::chrono::seconds(120)};
  // The guard re-signs its report for every new hard-cheat challenge, and a
  // server may issue one ahead of any detection: it lives longer.
  std::chrono::milliseconds hardCheatTtl{std::chrono::minutes(10)};
  // How long a verified report's id stays bound to its session when the
  // acknowledgement is never confirmed as sent.
  std::chrono::milliseconds reportBindingTtl{std::chrono::minutes(10)};
  // Entries held at once: open challenges, used or expired ones still
  // remembered, and report bindings, split between the two kinds (see
  // hardCheatSharePercent). When a kind's part is reached, issuing it is
  // refused with store-full; nothing already issued is dropped to make room.
  std::size_t maxEntries = 1'000'000;
  // The part of maxEntries, in percent (1 to 99), that hard-cheat
  // challenges and report bindings may hold; login challenges may hold the
  // rest (see MaxEntriesOf). Hard-cheat challenges live longest, so a flood
  // of them would otherwise keep every login out until they are forgotten;
  // split, a flood of either kind is refused with store-full naming its
  // kind while the other kind keeps its room.
  unsigned hardCheatSharePercent = 50;
  // Open challenges (issued, neither taken nor expired) one session may
  // hold at once, of both kinds: a session holds one login and at most a
  // few hard-cheat challenges at a time. Past it, session-limit.
  std::size_t maxOpenPerSession = 16;
  // Open challenges one caller of the service may hold at once. Generous:
  // a caller is a backend, and one backend serves every player behind it;
  // the limit only keeps a single caller from taking the whole store.
  // Past it, caller-limit.
  std::size_t maxOpenPerCaller = 100'000;
};

// The entries challenges of `kind` may hold at once: hard-cheat
// challenges (report bindings included) their share of maxEntries,
// rounded down, login challenges the rest; each kind at least one while
// maxEntries is 2 or more.
std::size_t MaxEntriesOf(const ChallengeStoreOptions& options, ChallengeKind kind);

// A challenge as the store keeps it.
struct StoredChallenge {
  ChallengeKind kind = ChallengeKind::kLogin;
  std::string session;
  Challenge challenge;
};

// A challenge as an answer took it out of the store.
struct TakenChallenge {
  StoredChallenge stored;
  // The same answer (same fingerprint) took it before: a retried call.
  bool repeat = false;
  // The verdict kept for that answer, once it had one.
  std::optional<Verdict> verdict;
};

// What a login proof carries besides the challenge, which the store
// supplies by id.
struct LoginAnswer {
  Bytes challengeId;
  std::string loginName;
  std::uint32_t clientBuild = 0;
  std::uint32_t keyKind = 0;
  Bytes machineDigest;
  Bytes publicKey;
  Bytes signature;
};

// Thread-safe in both implementations: every entry point may be called
// from any number of threads at once.
class ChallengeStore {
 public:
  explicit ChallengeStore(const ChallengeStoreOptions& options);
  virtual ~ChallengeStore() = default;
  ChallengeStore(const ChallengeStore&) = delete;
  ChallengeStore& operator=(const ChallengeStore&) = delete;

  const ChallengeStoreOptions& options() const { return options_; }

  // The entries `kind` holds now against its room (MaxEntriesOf): for
  // operators' gauges. store-unavailable when Redis does not answer.
  virtual Verdict HeldEntries(ChallengeKind kind, std::size_t& held) = 0;
  // False for a store whose room is not counted in entries (a Redis
  // Cluster, bounded by its nodes' maxmemory): HeldEntries then fails.
  virtual bool CountsEntries() const { return true; }

  // Draws a fresh challenge (see IssueChallenge) and records it for
  // `session` with the kind's time to live, asked for by `caller` (who
  // called the service: an authenticated name or a peer's address). Refused
  // before anything is recorded when the session or the caller already
  // holds its maximum of open challenges (session-limit, caller-limit) or
  // the kind's entries are full (store-full). An empty caller is no caller
  // known: all such calls are counted together as one caller, so that not
  // naming one never escapes the limit.
  Verdict IssueLoginChallenge(const std::string& session, std::uint32_t build,
                              std::uint32_t newestBuild, Challenge& out,
                              const std::string& caller = std::string());
  Verdict IssueHardCheatChallenge(const std::string& session, std::uint32_t build,
                                  std::uint32_t newestBuild, Challenge& out,
                                  const std::string& caller = std::string());

  // Takes the named challenge out of the store, pass or fail, then checks
  // that it is an open login challenge of this session and verifies the
  // proof against it.
  //
  // A retried call is safe: the same answer (the same proof, in the same
  // session) sent again while the challenge is remembered gets the same
  // verdict with `repeat` set, also when the first call never heard its
  // verdict (a time-out, store-full after the take). Any other answer to a
  // taken challenge is challenge-used.
  Verdict VerifyLoginProof(const std::string& session, const LoginAnswer& answer,
                           const LoginProofPolicy& policy);

  // Takes out the challenge the report names (when the report has its 241
  // bytes), checks it as above and verifies the report. An accepted
  // report's id is bound to `session`: the guard keeps its report id for
  // every later challenge, and a report with that id from any other
  // session is rejected until the acknowledgement is confirmed sent.
  // `report` receives the parsed fields whenever the report had 241 bytes.
  // The same report bytes sent again in the same session get the same
  // verdict with `repeat` set, as above.
  Verdict VerifyHardCheatReport(const std::string& session, const Bytes& bytes,
                                const HardCheatPolicy& policy, HardCheatReport& report);

  // The server has handed the acknowledgement of `reportId` to `session`:
  // the id is released.
  Verdict ConfirmAcknowledgementSent(const std::string& session, const Bytes& reportId);

 protected:
  // Records a new challenge under its id for `ttl`, open for its session
  // and `caller` until it is taken or expires; or session-limit,
  // caller-limit, store-full (in that order), store-unavailable, and then
  // records nothing. An id already present is never overwritten.
  virtual Verdict Put(const StoredChallenge& entry, const std::string& caller,
                      std::chrono::milliseconds ttl) = 0;
  // Atomically takes the open challenge `id` out for the answer with
  // `fingerprint` (it is then remembered as taken by it), or hands it back
  // as a repeat when that same fingerprint took it before, with the
  // verdict kept for it if any. challenge-unknown, challenge-used (taken by
  // another answer), challenge-expired, store-unavailable otherwise.
  virtual Verdict Take(const Bytes& id, const Bytes& fingerprint, TakenChallenge& out) = 0;
  // Keeps `verdict` with the challenge `id` if the answer with
  // `fingerprint` took it; a failure only costs a retry its shortcut.
  virtual Verdict KeepVerdict(const Bytes& id, const Bytes& fingerprint,
                              const Verdict& verdict) = 0;
  // Binds `reportId` to `session` for `ttl` unless it is already bound:
  // to the same session it is accepted, to another report-wrong-session.
  // A new binding takes room of the hard-cheat kind (store-full).
  virtual Verdict BindReport(const Bytes& reportId, const std::string& session,
                             std::chrono::milliseconds ttl) = 0;
  // Drops the binding of `reportId` to `session`: report-unknown,
  // report-wrong-session, store-unavailable otherwise.
  virtual Verdict ReleaseReport(const Bytes& reportId, const std::string& session) = 0;

 private:
  Verdict Issue(ChallengeKind kind, const std::string& session, const std::string& caller,
                std::uint32_t build, std::uint32_t newestBuild, Challenge& out);
  // The verdict of the answer that took challenge `id`, kept with it
  // unless it judged nothing (a retry then judges again).
  Verdict Keep(const Bytes& id, const Bytes& fingerprint, Verdict verdict, bool repeat);

  ChallengeStoreOptions options_;
};

// A session of 1 to kMaxSessionSize bytes.
Verdict CheckSession(const std::string& session);

}  // namespace zarnel::serverkit
