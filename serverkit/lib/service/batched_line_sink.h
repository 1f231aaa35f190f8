// The log's sink on a file descriptor (standard output, or a file): lines
// are gathered in memory and written by the sink's own thread in batches,
// so that a request costs its line a copy, not a write and a thread
// wake-up. The writer wakes when a batch has gathered, when told to
// (flush: an event, a warning), and otherwise within `linger`.
//
// A reader that stops reading (a stuck shipper, an unread pipe) cannot
// stop the service: a batch waits at most `patience` for room, and once
// one has waited in vain the next ones are dropped at once until the
// reader takes lines again; what waits for the writer is bounded
// (`heldBytes`), and a line past it is dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <spdlog/formatter.h>
#include <spdlog/sinks/sink.h>

namespace zarnel::serverkit::service {

struct BatchedLineSinkLimits {
  std::chrono::milliseconds patience{1000};
  std::chrono::milliseconds linger{100};
  std::size_t batchBytes = 32 * 1024;
  std::size_t heldBytes = 4 * 1024 * 1024;
};

class BatchedLineSink final : public spdlog::sinks::sink {
 public:
  // Writes to `fd`; closes it at the end when `ownsFd`.
  BatchedLineSink(int fd, bool ownsFd, BatchedLineSinkLimits limits = {});
  // Writes what is held (each batch within the patience), then ends.
  ~BatchedLineSink() override;
  BatchedLineSink(const BatchedLineSink&) = delete;
  BatchedLineSink& operator=(const BatchedLineSink&) = delete;

  void log(const spdlog::details::log_msg& message) override;
  // Wakes the writer; does not wait for it.
  void flush() override;
  void set_pattern(const std::string& pattern) override;
  void set_formatter(std::unique_ptr<spdlog::formatter> formatter) override;

  // Returns once every line logged before the call is written or
  // dropped: at most the patience per batch.
  void Drain();
  std::uint64_t dropped() const;

 private:
  void WriteLoop();
  // The bytes written: all, or those before the reader stalled.
  std::size_t WriteBatch(const std::string& batch);
  std::size_t Stalled(const std::string& batch, const char* at);

  const int fd_;
  const bool ownsFd_;
  const BatchedLineSinkLimits limits_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;     // the writer's
  std::condition_variable written_;  // Drain's
  std::unique_ptr<spdlog::formatter> formatter_;
  std::string held_;
  std::uint64_t heldLines_ = 0;
  std::uint64_t loggedLines_ = 0;   // every line, held or dropped
  std::uint64_t settledLines_ = 0;  // written or dropped
  std::uint64_t dropped_ = 0;
  bool urgent_ = false;
  bool stopping_ = false;
  bool stalled_ = false;     // the writer's alone
  bool brokenLine_ = false;  // the writer's alone: output ends mid-line
  std::thread writer_;
};

}  // namespace zarnel::serverkit::service
