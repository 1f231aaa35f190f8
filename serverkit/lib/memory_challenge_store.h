// The embedded store: challenges in this process's memory, for a single
// login server or for tests. Expiry follows an injectable clock.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <queue>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "challenge_store.h"

namespace zarnel::serverkit {

class MemoryChallengeStore final : public ChallengeStore {
 public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;

  explicit MemoryChallengeStore(const ChallengeStoreOptions& options = {},
                                Clock clock = std::chrono::steady_clock::now);

  // Entries held now, remembered used and expired ones included.
  std::size_t size() const;

  Verdict HeldEntries(ChallengeKind kind, std::size_t& held) override;

 protected:
  Verdict Put(const StoredChallenge& entry, const std::string& caller,
              std::chrono::milliseconds ttl) override;
  Verdict Take(const Bytes& id, const Bytes& fingerprint, TakenChallenge& out) override;
  Verdict KeepVerdict(const Bytes& id, const Bytes& fingerprint, const Verdict& verdict) override;
  Verdict BindReport(const Bytes& reportId, const std::string& session,
                     std::chrono::milliseconds ttl) override;
  Verdict ReleaseReport(const Bytes& reportId, const std::string& session) override;

 private:
  using TimePoint = std::chrono::steady_clock::time_point;

  struct Entry {
    StoredChallenge stored;
    std::string caller;
    bool used = false;
    // Counted for its session and caller: issued, neither taken nor expired.
    bool open = true;
    TimePoint deadline;
    TimePoint forgetAt;  // one more time to live after the deadline
    Bytes fingerprint;   // of the answer that took it
    std::optional<Verdict> verdict;  // that answer's, once given
  };
  struct Binding {
    std::string session;
    TimePoint forgetAt;
  };
  // When to look at a key again. In front: 'c' forget a challenge, 'o' a
  // challenge's deadline (it stops being open), 'r' forget a binding.
  using Due = std::pair<TimePoint, std::string>;
  using Counts = std::unordered_map<std::string, std::size_t>;

  void ForgetDueLocked(TimePoint now);
  // The entry is no longer open: its session and caller hold one less.
  void CloseLocked(Entry& entry);
  // Entries of `kind` held now: its challenges, and for hard-cheat the
  // report bindings too.
  std::size_t HeldLocked(ChallengeKind kind) const;

  const Clock clock_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Entry> challenges_;
  std::unordered_map<std::string, Binding> bindings_;
  std::priority_queue<Due, std::vector<Due>, std::greater<Due>> due_;
  // Open challenges by session and by caller; a name leaves at zero.
  Counts openBySession_;
  Counts openByCaller_;
  std::size_t loginChallenges_ = 0;
  std::size_t hardCheatChallenges_ = 0;
};

}  // namespace zarnel::serverkit
