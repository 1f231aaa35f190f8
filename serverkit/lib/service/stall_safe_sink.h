// The log's sink on a file descriptor (standard output) that a stalled
// reader cannot stop: a line waits at most `patience` for room, and once
// one has waited in vain the next ones are dropped at once until the
// reader takes lines again. Without it a full pipe holds the log's writer,
// then the queue, then the process at exit.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <mutex>

#include <spdlog/details/log_msg.h>
#include <spdlog/sinks/base_sink.h>

namespace zarnel::serverkit::service {

class StallSafeSink final : public spdlog::sinks::base_sink<std::mutex> {
 public:
  StallSafeSink(int fd, std::chrono::milliseconds patience) : fd_(fd), patience_(patience) {}

  std::size_t dropped() const { return dropped_.load(); }

 protected:
  void sink_it_(const spdlog::details::log_msg& message) override {
    spdlog::memory_buf_t line;
    formatter_->format(message, line);
    const char* data = line.data();
    std::size_t left = line.size();
    int wait = stalled_ ? 0 : static_cast<int>(patience_.count());
    while (left > 0) {
      pollfd ready{fd_, POLLOUT, 0};
      const int polled = ::poll(&ready, 1, wait);
      if (polled < 0 && errno == EINTR) continue;
      if (polled <= 0 || (ready.revents & (POLLERR | POLLHUP)) != 0) {
        stalled_ = true;
        dropped_.fetch_add(1);
        return;
      }
      const ssize_t written = ::write(fd_, data, left);
      if (written < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (written <= 0) {
        stalled_ = true;
        dropped_.fetch_add(1);
        return;
      }
      data += written;
      left -= static_cast<std::size_t>(written);
      stalled_ = false;
      wait = static_cast<int>(patience_.count());
    }
  }
  void flush_() override {}

 private:
  const int fd_;
  const std::chrono::milliseconds patience_;
  bool stalled_ = false;  // under the sink's mutex
  std::atomic<std::size_t> dropped_{0};
};

}  // namespace zarnel::serverkit::service
