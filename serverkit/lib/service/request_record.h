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

#include "json_fields.h"

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

// Fills what an answer tells, before it is written out: check, repeat,
// the id (the answer's, else the one the request named), and for a judged
// hard-cheat report its line with the request's session.
void ReadReply(const Json& answer, const std::string& requestId,
               const std::string& requestSession, RequestRecord& record);

}  // namespace zarnel::serverkit::service
