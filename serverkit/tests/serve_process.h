// `zarnel-verify serve` as a child process of a test: started with its
// arguments, its first line read for the port, its standard output (the
// log) kept to be read whole once it has ended.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace zarnel::serverkit::testing {

class ServeProcess {
 public:
  // Starts ZARNEL_VERIFY_PATH serve `arguments`; check port() > 0.
  ServeProcess(const std::string& binary, std::vector<std::string> arguments);
  ~ServeProcess();
  ServeProcess(const ServeProcess&) = delete;
  ServeProcess& operator=(const ServeProcess&) = delete;

  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  void Signal(int signal) const;
  // Waits for the end, reading its output meanwhile: the exit code, or
  // 128 + the signal that ended it.
  int Wait();
  // Waits up to `bound` for the end without reading its output, as a
  // stalled log reader would: the exit code, or -1 if it had not ended.
  int WaitUnread(std::chrono::seconds bound);
  // Every line it wrote after the first, once it has ended.
  std::vector<std::string> LogLines();

 private:
  pid_t pid_ = -1;
  std::FILE* output_ = nullptr;
  int port_ = -1;
  int status_ = -1;
  std::vector<std::string> lines_;
};

}  // namespace zarnel::serverkit::testing
