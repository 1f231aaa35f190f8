// The log's batching sink: every line arrives whole and in its thread's
// order, a reader that stopped reading costs lines but never holds a
// caller, and what waits for the writer is bounded.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/logger.h>

#include "batched_line_sink.h"

namespace zarnel::serverkit {
namespace {

using service::BatchedLineSink;
using service::BatchedLineSinkLimits;
using namespace std::chrono_literals;

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) == 0) {
      read = ends[0];
      write = ends[1];
    }
  }
  ~Pipe() {
    if (read >= 0) ::close(read);
    if (write >= 0) ::close(write);
  }
  // Everything the pipe holds now, without waiting for more.
  std::string Take() const {
    const int flags = ::fcntl(read, F_GETFL);
    ::fcntl(read, F_SETFL, flags | O_NONBLOCK);
    std::string text;
    char chunk[65536];
    for (ssize_t got; (got = ::read(read, chunk, sizeof chunk)) > 0;) text.append(chunk, got);
    ::fcntl(read, F_SETFL, flags);
    return text;
  }
};

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

std::shared_ptr<spdlog::logger> LoggerOn(const std::shared_ptr<BatchedLineSink>& sink) {
  auto logger = std::make_shared<spdlog::logger>("test", sink);
  logger->set_pattern("%v");
  return logger;
}

std::string LineOf(int thread, int index) {
  return "{\"thread\":" + std::to_string(thread) + ",\"index\":" + std::to_string(index) +
         ",\"padding\":\"" + std::string(60, 'x') + "\"}";
}

TEST(BatchedLineSink, LinesOfManyThreadsArriveWholeOnceAndInEachThreadsOrder) {
  Pipe pipe;
  ASSERT_GE(pipe.write, 0);
  std::string output;
  std::thread reader([&] {
    char chunk[65536];
    for (ssize_t got; (got = ::read(pipe.read, chunk, sizeof chunk)) > 0;) output.append(chunk, got);
  });
  constexpr int kThreads = 4;
  constexpr int kLines = 5000;  // far more than one batch and one pipe
  {
    auto sink = std::make_shared<BatchedLineSink>(pipe.write, true);
    pipe.write = -1;  // the sink closes it, which ends the reader
    auto logger = LoggerOn(sink);
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([&, t] {
        for (int i = 0; i < kLines; ++i) logger->info(LineOf(t, i));
      });
    }
    for (std::thread& writer : writers) writer.join();
    sink->Drain();
    EXPECT_EQ(sink->dropped(), 0u);
  }
  reader.join();
  const std::vector<std::string> lines = Lines(output);
  ASSERT_EQ(lines.size(), static_cast<std::size_t>(kThreads * kLines));
  ASSERT_EQ(output.back(), '\n');
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : lines) {
    int thread = -1;
    int index = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "{\"thread\":%d,\"index\":%d", &thread, &index), 2) << line;
    ASSERT_TRUE(thread >= 0 && thread < kThreads) << line;
    ASSERT_EQ(line, LineOf(thread, index));
    ASSERT_EQ(index, next[thread]++) << "out of order: " << line;
  }
}

// Nobody reads: Drain returns once a batch has waited its patience, the
// lines are counted as dropped, and once the reader is back the next line
// starts on a line of its own even if a line was cut.
TEST(BatchedLineSink, AStalledReaderCostsLinesButNeverHoldsTheCaller) {
  Pipe pipe;
  ASSERT_GE(pipe.write, 0);
  BatchedLineSinkLimits limits;
  limits.patience = 200ms;
  auto sink = std::make_shared<BatchedLineSink>(pipe.write, false, limits);
  auto logger = LoggerOn(sink);
  constexpr int kLines = 4000;  // about 380 KiB, several pipes full
  for (int i = 0; i < kLines; ++i) logger->info(LineOf(0, i));
  sink->Drain();
  EXPECT_GT(sink->dropped(), 0u);
  const std::string stalled = pipe.Take();
  logger->info("after");
  sink->Drain();
  const std::string resumed = pipe.Take();

  const std::vector<std::string> lines = Lines(stalled + resumed);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back(), "after");
  std::size_t whole = 0;
  std::size_t cut = 0;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
    int thread = -1;
    int index = -1;
    if (std::sscanf(lines[i].c_str(), "{\"thread\":%d,\"index\":%d", &thread, &index) == 2 &&
        lines[i] == LineOf(thread, index)) {
      ++whole;
    } else {
      ++cut;
    }
  }
  EXPECT_LE(cut, 1u) << "lines run together";
  // A cut line counts as dropped: only whole lines count as written.
  EXPECT_EQ(whole + sink->dropped(), static_cast<std::size_t>(kLines));
}

// The writer lingers (a batch never fills) while lines come faster than
// it takes them: what it holds stays within its bound, the rest is counted
// as dropped, and Drain writes what was held.
TEST(BatchedLineSink, WhatWaitsForTheWriterIsBounded) {
  Pipe pipe;
  ASSERT_GE(pipe.write, 0);
  BatchedLineSinkLimits limits;
  limits.linger = 60s;
  limits.batchBytes = 1 << 20;
  limits.heldBytes = 4096;
  auto sink = std::make_shared<BatchedLineSink>(pipe.write, false, limits);
  auto logger = LoggerOn(sink);
  constexpr int kLines = 200;
  const std::size_t lineBytes = LineOf(0, 100).size() + 1;
  for (int i = 0; i < kLines; ++i) logger->info(LineOf(0, 100 + i));
  EXPECT_GE(sink->dropped(), kLines - limits.heldBytes / lineBytes);
  sink->Drain();
  const std::vector<std::string> lines = Lines(pipe.Take());
  EXPECT_LE(lines.size() * lineBytes, limits.heldBytes);
  EXPECT_EQ(lines.size() + sink->dropped(), static_cast<std::size_t>(kLines));
  for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i], LineOf(0, 100 + int(i)));
}

}  // namespace
}  // namespace zarnel::serverkit
