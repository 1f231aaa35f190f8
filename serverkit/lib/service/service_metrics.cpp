#include "service_metrics.h"

#include <cstdio>

namespace zarnel::serverkit::service {

namespace {

// Label values are endpoints and check names of this service, never a
// caller's text; they are escaped all the same.
std::string Label(const std::string& value) {
  std::string escaped;
  for (const char c : value) {
    if (c == '\\' || c == '"') escaped += '\\';
    if (c == '\n') {
      escaped += "\\n";
      continue;
    }
    escaped += c;
  }
  return escaped;
}

std::string Number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.15g", value);
  return text;
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
  out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
}

}  // namespace

void ServiceMetrics::CountRequest(const std::string& endpoint, int status, const std::string& check,
                                  double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++requests_[{endpoint, status}];
  if (!check.empty()) ++verdicts_[{endpoint, check}];
  Histogram& histogram = latency_[endpoint];
  for (std::size_t i = 0; i < kBuckets.size(); ++i) {
    if (seconds <= kBuckets[i]) ++histogram.buckets[i];
  }
  ++histogram.count;
  histogram.sum += seconds;
}

void ServiceMetrics::SetExtra(std::function<std::string()> extra) {
  std::lock_guard<std::mutex> lock(mutex_);
  extra_ = std::move(extra);
}

std::string ServiceMetrics::Render(std::size_t openConnections, bool draining) const {
  std::string out;
  std::function<std::string()> extra;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Family(out, "zarnel_verify_requests_total", "counter", "Requests answered, by endpoint and status.");
    for (const auto& [key, count] : requests_) {
      out += "zarnel_verify_requests_total{endpoint=\"" + Label(key.first) + "\",status=\"" +
             std::to_string(key.second) + "\"} " + std::to_string(count) + "\n";
    }
    Family(out, "zarnel_verify_verdicts_total", "counter",
           "Answers by endpoint and check name (ok, or the check that refused).");
    for (const auto& [key, count] : verdicts_) {
      out += "zarnel_verify_verdicts_total{endpoint=\"" + Label(key.first) + "\",check=\"" +
             Label(key.second) + "\"} " + std::to_string(count) + "\n";
    }
    Family(out, "zarnel_verify_request_duration_seconds", "histogram",
           "Time from a request's last byte to its answer, by endpoint.");
    for (const auto& [endpoint, histogram] : latency_) {
      const std::string name = "zarnel_verify_request_duration_seconds";
      const std::string labels = "endpoint=\"" + Label(endpoint) + "\"";
      for (std::size_t i = 0; i < kBuckets.size(); ++i) {
        out += name + "_bucket{" + labels + ",le=\"" + Number(kBuckets[i]) + "\"} " +
               std::to_string(histogram.buckets[i]) + "\n";
      }
      out += name + "_bucket{" + labels + ",le=\"+Inf\"} " + std::to_string(histogram.count) + "\n";
      out += name + "_sum{" + labels + "} " + Number(histogram.sum) + "\n";
      out += name + "_count{" + labels + "} " + std::to_string(histogram.count) + "\n";
    }
    extra = extra_;
  }
  Family(out, "zarnel_verify_open_connections", "gauge", "Connections open now.");
  out += "zarnel_verify_open_connections " + std::to_string(openConnections) + "\n";
  Family(out, "zarnel_verify_refused_connections_total", "counter",
         "Connections closed at once because the connection limit was reached.");
  out += "zarnel_verify_refused_connections_total " + std::to_string(refusedConnections_.load()) +
         "\n";
  Family(out, "zarnel_verify_draining", "gauge", "1 while the service drains before it stops.");
  out += std::string("zarnel_verify_draining ") + (draining ? "1" : "0") + "\n";
  if (extra) out += extra();
  return out;
}

std::string ServiceMetrics::RenderStore(ChallengeStore& store, std::uint64_t timeouts) {
  std::string out;
  std::string entries;
  std::string room;
  const bool counted = store.CountsEntries();
  for (const ChallengeKind kind : {ChallengeKind::kLogin, ChallengeKind::kHardCheat}) {
    if (!counted) break;
    const std::string labels = std::string("{kind=\"") + ChallengeKindName(kind) + "\"} ";
    room += "zarnel_verify_store_capacity" + labels +
            std::to_string(MaxEntriesOf(store.options(), kind)) + "\n";
    std::size_t held = 0;
    bool answered = false;
    try {
      answered = store.HeldEntries(kind, held).ok();
    } catch (...) {
    }
    if (!answered) {
      storeScrapeErrors_.fetch_add(1);
      continue;
    }
    entries += "zarnel_verify_store_entries" + labels + std::to_string(held) + "\n";
  }
  // A cluster's room is its nodes' maxmemory, watched on Redis itself.
  if (counted) {
    Family(out, "zarnel_verify_store_entries", "gauge",
           "Entries the store holds, by kind (hard-cheat includes report bindings).");
    out += entries;
    Family(out, "zarnel_verify_store_capacity", "gauge", "Entries each kind may hold at most.");
    out += room;
  }
  Family(out, "zarnel_verify_store_scrape_errors_total", "counter",
         "Scrapes at which the store did not say what it holds.");
  out += "zarnel_verify_store_scrape_errors_total " + std::to_string(storeScrapeErrors_.load()) + "\n";
  Family(out, "zarnel_verify_store_timeouts_total", "counter",
         "Store commands and connects that ran past the store's time-out.");
  out += "zarnel_verify_store_timeouts_total " + std::to_string(timeouts) + "\n";
  return out;
}

}  // namespace zarnel::serverkit::service
