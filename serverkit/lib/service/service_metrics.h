// The service's figures in Prometheus' text format (version 0.0.4):
// requests by endpoint and status, verdicts by check, latency histograms,
// connections. Debian ships no C++ Prometheus client; the format is a few
// lines of text, written here from counters kept under one lock, which is
// cheap beside a signature check.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "challenge_store.h"

namespace zarnel::serverkit::service {

class ServiceMetrics {
 public:
  // One answered request: `endpoint` is a known path or "other".
  void CountRequest(const std::string& endpoint, int status, const std::string& check,
                    double seconds);
  void CountRefusedConnection() { refusedConnections_.fetch_add(1); }

  // Lines of other families (the store's gauges), asked for at each
  // scrape; each must be complete with its HELP and TYPE lines.
  void SetExtra(std::function<std::string()> extra);

  // The store's families, for SetExtra: entries held and room per kind
  // (when the store counts entries), and `timeouts` (the Redis store's count; 0 for memory). A store that
  // does not answer is left out of the gauges and counted in
  // zarnel_verify_store_scrape_errors_total instead of failing the scrape.
  std::string RenderStore(ChallengeStore& store, std::uint64_t timeouts);

  // The exposition, with `openConnections` as a gauge.
  std::string Render(std::size_t openConnections, bool draining) const;

 private:
  // Seconds; a verification is a few hundred microseconds, a Redis
  // round trip about a millisecond, a time-out one second by default.
  static constexpr std::array<double, 12> kBuckets = {0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                                      0.05,   0.1,   0.25,   0.5,   1,    2.5};
  struct Histogram {
    std::array<std::uint64_t, kBuckets.size()> buckets{};
    std::uint64_t count = 0;
    double sum = 0;
  };

  mutable std::mutex mutex_;
  std::map<std::pair<std::string, int>, std::uint64_t> requests_;
  std::map<std::pair<std::string, std::string>, std::uint64_t> verdicts_;
  std::map<std::string, Histogram> latency_;
  std::function<std::string()> extra_;
  std::atomic<std::uint64_t> refusedConnections_{0};
  std::atomic<std::uint64_t> storeScrapeErrors_{0};
};

}  // namespace zarnel::serverkit::service
