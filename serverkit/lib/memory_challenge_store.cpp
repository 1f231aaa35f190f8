#include "memory_challenge_store.h"

#include "internal/rejections.h"

namespace zarnel::serverkit {

namespace {

std::string KeyOf(const Bytes& id) { return std::string(id.begin(), id.end()); }

void Decrement(std::unordered_map<std::string, std::size_t>& counts, const std::string& name) {
  auto found = counts.find(name);
  if (found != counts.end() && --found->second == 0) counts.erase(found);
}

std::size_t CountOf(const std::unordered_map<std::string, std::size_t>& counts,
                    const std::string& name) {
  auto found = counts.find(name);
  return found == counts.end() ? 0 : found->second;
}

}  // namespace

MemoryChallengeStore::MemoryChallengeStore(const ChallengeStoreOptions& options, Clock clock)
    : ChallengeStore(options), clock_(std::move(clock)) {}

std::size_t MemoryChallengeStore::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return challenges_.size() + bindings_.size();
}

Verdict MemoryChallengeStore::HeldEntries(ChallengeKind kind, std::size_t& held) {
  std::lock_guard<std::mutex> lock(mutex_);
  ForgetDueLocked(clock_());
  held = HeldLocked(kind);
  return Accept();
}

void MemoryChallengeStore::CloseLocked(Entry& entry) {
  if (!entry.open) return;
  entry.open = false;
  Decrement(openBySession_, entry.stored.session);
  Decrement(openByCaller_, entry.caller);
}

std::size_t MemoryChallengeStore::HeldLocked(ChallengeKind kind) const {
  return kind == ChallengeKind::kLogin ? loginChallenges_
                                       : hardCheatChallenges_ + bindings_.size();
}

void MemoryChallengeStore::ForgetDueLocked(TimePoint now) {
  while (!due_.empty() && due_.top().first <= now) {
    const std::string& key = due_.top().second;
    const std::string id = key.substr(1);
    // A released and re-made binding leaves an older due time behind: only
    // the entry's own time removes it.
    if (key[0] == 'o') {
      auto found = challenges_.find(id);
      if (found != challenges_.end() && found->second.deadline <= now) CloseLocked(found->second);
    } else if (key[0] == 'c') {
      auto found = challenges_.find(id);
      if (found != challenges_.end() && found->second.forgetAt <= now) {
        CloseLocked(found->second);
        --(found->second.stored.kind == ChallengeKind::kLogin ? loginChallenges_
                                                              : hardCheatChallenges_);
        challenges_.erase(found);
      }
    } else {
      auto found = bindings_.find(id);
      if (found != bindings_.end() && found->second.forgetAt <= now) bindings_.erase(found);
    }
    due_.pop();
  }
}

Verdict MemoryChallengeStore::Put(const StoredChallenge& entry, const std::string& caller,
                                  std::chrono::milliseconds ttl) {
  std::lock_guard<std::mutex> lock(mutex_);
  const TimePoint now = clock_();
  ForgetDueLocked(now);
  if (CountOf(openBySession_, entry.session) >= options().maxOpenPerSession) {
    return SessionLimit(options().maxOpenPerSession);
  }
  if (CountOf(openByCaller_, caller) >= options().maxOpenPerCaller) {
    return CallerLimit(options().maxOpenPerCaller);
  }
  const std::size_t room = MaxEntriesOf(options(), entry.kind);
  if (HeldLocked(entry.kind) >= room) return StoreFull(entry.kind, room);
  const std::string key = KeyOf(entry.challenge.id);
  Entry stored{entry, caller, false, true, now + ttl, now + 2 * ttl, {}, std::nullopt};
  if (!challenges_.emplace(key, stored).second) {
    return RepeatedChallengeId();
  }
  ++openBySession_[entry.session];
  ++openByCaller_[caller];
  ++(entry.kind == ChallengeKind::kLogin ? loginChallenges_ : hardCheatChallenges_);
  due_.emplace(stored.deadline, 'o' + key);
  due_.emplace(stored.forgetAt, 'c' + key);
  return Accept();
}

Verdict MemoryChallengeStore::Take(const Bytes& id, const Bytes& fingerprint,
                                   TakenChallenge& out) {
  std::lock_guard<std::mutex> lock(mutex_);
  const TimePoint now = clock_();
  ForgetDueLocked(now);
  auto found = challenges_.find(KeyOf(id));
  if (found == challenges_.end()) {
    return ChallengeUnknown(id);
  }
  Entry& entry = found->second;
  if (entry.used) {
    if (entry.fingerprint != fingerprint) return ChallengeUsed();
    out = TakenChallenge{entry.stored, true, entry.verdict};
    return Accept();
  }
  if (now >= entry.deadline) return ChallengeExpired();
  CloseLocked(entry);
  entry.used = true;
  entry.fingerprint = fingerprint;
  out = TakenChallenge{entry.stored, false, std::nullopt};
  return Accept();
}

Verdict MemoryChallengeStore::KeepVerdict(const Bytes& id, const Bytes& fingerprint,
                                          const Verdict& verdict) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto found = challenges_.find(KeyOf(id));
  if (found != challenges_.end() && found->second.used &&
      found->second.fingerprint == fingerprint) {
    found->second.verdict = verdict;
  }
  return Accept();
}

Verdict MemoryChallengeStore::BindReport(const Bytes& reportId, const std::string& session,
                                         std::chrono::milliseconds ttl) {
  std::lock_guard<std::mutex> lock(mutex_);
  const TimePoint now = clock_();
  ForgetDueLocked(now);
  const std::string key = KeyOf(reportId);
  auto found = bindings_.find(key);
  if (found != bindings_.end()) {
    if (found->second.session == session) return Accept();
    return ReportWrongSession(reportId);
  }
  const std::size_t room = MaxEntriesOf(options(), ChallengeKind::kHardCheat);
  if (HeldLocked(ChallengeKind::kHardCheat) >= room) {
    return StoreFull(ChallengeKind::kHardCheat, room);
  }
  bindings_.emplace(key, Binding{session, now + ttl});
  due_.emplace(now + ttl, 'r' + key);
  return Accept();
}

Verdict MemoryChallengeStore::ReleaseReport(const Bytes& reportId, const std::string& session) {
  std::lock_guard<std::mutex> lock(mutex_);
  ForgetDueLocked(clock_());
  auto found = bindings_.find(KeyOf(reportId));
  if (found == bindings_.end()) {
    return ReportUnknown(reportId);
  }
  if (found->second.session != session) {
    return ReportWrongSession(reportId);
  }
  bindings_.erase(found);
  return Accept();
}

}  // namespace zarnel::serverkit
