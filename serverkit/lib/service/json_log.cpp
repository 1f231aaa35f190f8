#include "json_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

#include "batched_line_sink.h"
#include "json_fields.h"

namespace zarnel::serverkit::service {

namespace {

std::string Iso8601(std::chrono::system_clock::time_point time) {
  const auto since = time.time_since_epoch();
  const std::time_t seconds = std::chrono::duration_cast<std::chrono::seconds>(since).count();
  const long milliseconds = static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(since).count() % 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, milliseconds);
  return text;
}

// Caller-given text (a session) may hold any bytes: invalid UTF-8 is
// replaced rather than ending the line.
std::string Line(const Json& object) {
  return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

spdlog::level::level_enum LevelOf(const std::string& level) {
  if (level == "debug") return spdlog::level::debug;
  if (level == "warn") return spdlog::level::warn;
  if (level == "error") return spdlog::level::err;
  return spdlog::level::info;
}

}  // namespace

JsonLog::JsonLog(const std::string& level, const std::string& sink) {
  if (sink == "stdout") {
    sink_ = std::make_shared<BatchedLineSink>(STDOUT_FILENO, false);
  } else {
    const int fd = ::open(sink.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd < 0) {
      throw std::runtime_error("cannot open the log file " + sink + ": " + std::strerror(errno));
    }
    sink_ = std::make_shared<BatchedLineSink>(fd, true);
  }
  logger_ = std::make_shared<spdlog::logger>("zarnel-verify", sink_);
  // The message is the whole line: it is JSON already.
  logger_->set_pattern("%v");
  logger_->set_level(LevelOf(level));
  // A warning or an error wakes the writer at once; request lines at info
  // go out in batches.
  logger_->flush_on(spdlog::level::warn);
}

JsonLog::~JsonLog() { sink_->Drain(); }

void JsonLog::Request(const RequestRecord& record) {
  // The service failed: error; nothing judged (a store down, draining):
  // warn; everything else, refusals by a check included: info.
  const auto level = record.status == 500  ? spdlog::level::err
                     : record.status >= 500 ? spdlog::level::warn
                                            : spdlog::level::info;
  if (logger_->should_log(level)) {
    Json line;
    line["time"] = Iso8601(record.time);
    line["level"] = level == spdlog::level::err    ? "error"
                    : level == spdlog::level::warn ? "warn"
                                                   : "info";
    line["event"] = "request";
    line["method"] = record.method;
    line["endpoint"] = record.endpoint;
    line["status"] = record.status;
    if (!record.check.empty()) line["check"] = record.check;
    if (!record.id.empty()) line["id"] = record.id;
    if (record.repeat) line["repeat"] = true;
    line["latency_ms"] = static_cast<double>(static_cast<long long>(record.seconds * 1e6)) / 1e3;
    line["caller"] = record.caller;
    logger_->log(level, Line(line));
  }
  if (record.report && logger_->should_log(spdlog::level::warn)) {
    Json line;
    line["time"] = Iso8601(record.time);
    line["level"] = "warn";
    line["event"] = "hard-cheat-report";
    line["report_id"] = record.report->reportId;
    line["violation"] = record.report->violation;
    line["session"] = record.report->session;
    line["verdict"] = record.report->verdict;
    line["caller"] = record.caller;
    logger_->warn(Line(line));
  }
}

void JsonLog::Event(const std::string& level, const std::string& event, const std::string& detail) {
  const auto spdLevel = LevelOf(level);
  if (!logger_->should_log(spdLevel)) return;
  Json line;
  line["time"] = Iso8601(std::chrono::system_clock::now());
  line["level"] = level;
  line["event"] = event;
  if (!detail.empty()) line["detail"] = detail;
  logger_->log(spdLevel, Line(line));
  // The service's own events are few and someone may wait for them (the
  // listening line names the port).
  logger_->flush();
}

void JsonLog::Flush() { sink_->Drain(); }

}  // namespace zarnel::serverkit::service
