// The service's log: one JSON object a line on standard output (what a
// container runtime or journald collects), through spdlog. A request
// line carries the endpoint, status, check, id, latency and caller; a
// judged hard-cheat report adds a line with its session for the operator
// who acts on it. Secrets never reach it: the request's log record holds
// none, and the service's own failure lines are written without them.
#pragma once

#include <memory>
#include <string>

#include "request_record.h"

namespace spdlog {
class logger;
}

namespace zarnel::serverkit::service {

class BatchedLineSink;

class JsonLog {
 public:
  // `level`: "debug", "info", "warn" or "error". Lines go to `sink`
  // ("stdout", or a file path for tests).
  explicit JsonLog(const std::string& level, const std::string& sink = "stdout");
  ~JsonLog();
  JsonLog(const JsonLog&) = delete;
  JsonLog& operator=(const JsonLog&) = delete;

  // A request at info (503 at warn, 500 at error); a judged report at
  // warn.
  void Request(const RequestRecord& record);
  // One event of the service itself.
  void Event(const std::string& level, const std::string& event, const std::string& detail);
  void Flush();

 private:
  // Lines are written in batches by the sink's own thread from a bounded
  // buffer; a reader that falls behind (a full pipe) loses lines instead
  // of stopping the service.
  std::shared_ptr<BatchedLineSink> sink_;
  std::shared_ptr<spdlog::logger> logger_;
};

}  // namespace zarnel::serverkit::service
