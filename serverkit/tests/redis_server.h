// A real redis-server for the tests: started on a free local port in a
// temporary folder, with persistence off, and stopped at the end. Tests
// that need it fail (they do not skip) when redis-server cannot start.
#pragma once

#include <sys/types.h>

#include <string>

namespace zarnel::serverkit::testing {

class RedisServer {
 public:
  RedisServer() = default;
  ~RedisServer();
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  // Starts it (on `port`, or a free one when 0) and waits until it answers
  // PING. False with `error` set when it does not within a few seconds.
  bool Start(std::string& error, int port = 0);
  // Kills it and waits for it to end; the folder stays until destruction.
  void Stop();

  int port() const { return port_; }
  bool running() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string dir_;
};

// A local TCP port that nothing listened on a moment ago.
int FreeLocalPort();

}  // namespace zarnel::serverkit::testing
