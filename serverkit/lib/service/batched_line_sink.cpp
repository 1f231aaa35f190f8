#include "batched_line_sink.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <utility>

#include <spdlog/pattern_formatter.h>

namespace zarnel::serverkit::service {

BatchedLineSink::BatchedLineSink(int fd, bool ownsFd, BatchedLineSinkLimits limits)
    : fd_(fd),
      ownsFd_(ownsFd),
      limits_(limits),
      formatter_(std::make_unique<spdlog::pattern_formatter>()),
      writer_([this] { WriteLoop(); }) {}

BatchedLineSink::~BatchedLineSink() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  writer_.join();
  if (ownsFd_) ::close(fd_);
}

void BatchedLineSink::log(const spdlog::details::log_msg& message) {
  spdlog::memory_buf_t line;
  std::lock_guard<std::mutex> lock(mutex_);
  formatter_->format(message, line);
  ++loggedLines_;
  if (held_.size() + line.size() > limits_.heldBytes) {
    ++dropped_;
    ++settledLines_;
    return;
  }
  const bool wasShort = held_.size() < limits_.batchBytes;
  const bool wasEmpty = held_.empty();
  held_.append(line.data(), line.size());
  ++heldLines_;
  // One wake-up when a batch fills, and one for the first line, which
  // starts the writer's linger; none for the lines in between.
  if (wasEmpty || (wasShort && held_.size() >= limits_.batchBytes)) wake_.notify_one();
}

void BatchedLineSink::flush() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    urgent_ = true;
  }
  wake_.notify_one();
}

void BatchedLineSink::set_pattern(const std::string& pattern) {
  std::lock_guard<std::mutex> lock(mutex_);
  formatter_ = std::make_unique<spdlog::pattern_formatter>(pattern);
}

void BatchedLineSink::set_formatter(std::unique_ptr<spdlog::formatter> formatter) {
  std::lock_guard<std::mutex> lock(mutex_);
  formatter_ = std::move(formatter);
}

void BatchedLineSink::Drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  const std::uint64_t target = loggedLines_;
  urgent_ = true;
  wake_.notify_one();
  written_.wait(lock, [&] { return settledLines_ >= target; });
}

std::uint64_t BatchedLineSink::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

void BatchedLineSink::WriteLoop() {
  std::string batch;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] { return stopping_ || !held_.empty() || urgent_; });
    // A lone line waits a little for company, unless someone waits for it.
    wake_.wait_for(lock, limits_.linger, [&] {
      return stopping_ || urgent_ || held_.size() >= limits_.batchBytes;
    });
    urgent_ = false;
    if (held_.empty()) {
      if (stopping_) return;
      written_.notify_all();
      continue;
    }
    batch.swap(held_);
    const std::uint64_t lines = heldLines_;
    heldLines_ = 0;
    lock.unlock();
    // A line cut short by a stalled reader is ended, so that the reader
    // sees one broken line and not two run together.
    const bool ended = brokenLine_;
    if (ended) batch.insert(0, 1, '\n');
    const std::size_t bytes = WriteBatch(batch);
    // A line counts as written once its newline is.
    std::uint64_t written = static_cast<std::uint64_t>(
        std::count(batch.begin(), batch.begin() + static_cast<std::ptrdiff_t>(bytes), '\n'));
    if (ended && bytes > 0) --written;
    batch.clear();
    lock.lock();
    dropped_ += lines - written;
    settledLines_ += lines;
    written_.notify_all();
  }
}

std::size_t BatchedLineSink::WriteBatch(const std::string& batch) {
  const char* data = batch.data();
  std::size_t left = batch.size();
  int wait = stalled_ ? 0 : static_cast<int>(limits_.patience.count());
  while (left > 0) {
    pollfd ready{fd_, POLLOUT, 0};
    const int polled = ::poll(&ready, 1, wait);
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0 || (ready.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      return Stalled(batch, data);
    }
    // A pipe that polls writable has room for PIPE_BUF bytes, not more:
    // a larger write would block for as long as the reader stalls.
    const ssize_t written = ::write(fd_, data, std::min<std::size_t>(left, PIPE_BUF));
    if (written < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (written <= 0) return Stalled(batch, data);
    data += written;
    left -= static_cast<std::size_t>(written);
    stalled_ = false;
    brokenLine_ = false;
    wait = static_cast<int>(limits_.patience.count());
  }
  return batch.size();
}

std::size_t BatchedLineSink::Stalled(const std::string& batch, const char* at) {
  stalled_ = true;
  if (at != batch.data()) brokenLine_ = at[-1] != '\n';
  return static_cast<std::size_t>(at - batch.data());
}

}  // namespace zarnel::serverkit::service
