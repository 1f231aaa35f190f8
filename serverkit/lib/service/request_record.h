// What the service keeps of one answered request for its log and its
// metrics: never a session text (but in the one report line an operator
// acts on), a proof, a key or a signature.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace zarnel::serverkit::service {

// A hard-cheat report the service judged: what an operator acts on.
struct JudgedReport {
  std::string reportId;
  std::uint32_t violation = 0;
  std::string session;
  std::string verdict;  // "ok" or the check that refused it
};

struct RequestRecord {
  std::chrono::system_clock::time_point time;
  std::string method;
  std::string endpoint;  // a known path, or "other"
  int status = 0;
  std::string check;     // the answer's check; empty for /metrics
  std::string id;        // the challenge's or the report's id, when there is one
  bool repeat = false;
  double seconds = 0;    // from the request's last byte to its answer
  std::string caller;
  std::optional<JudgedReport> report;
};

using RequestObserver = std::function<void(const RequestRecord&)>;

// The path as a metric label: one of the service's own, else "other", so
// that no caller can grow the set of labels.
std::string EndpointLabel(std::string_view path);

// Fills what the request's and the answer's JSON bodies tell: check,
// repeat, the id, and for a judged hard-cheat report its line.
void ReadBodies(std::string_view requestBody, std::string_view answerBody, bool answerIsJson,
                RequestRecord& record);

}  // namespace zarnel::serverkit::service
