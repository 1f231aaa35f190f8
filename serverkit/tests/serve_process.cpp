#include "serve_process.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace zarnel::serverkit::testing {

ServeProcess::ServeProcess(const std::string& binary, std::vector<std::string> arguments) {
  int ends[2];
  if (pipe(ends) != 0) return;
  arguments.insert(arguments.begin(), {binary, "serve"});
  pid_ = fork();
  if (pid_ == 0) {
    // A test that dies must not leave a service behind.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    dup2(ends[1], STDOUT_FILENO);
    close(ends[0]);
    close(ends[1]);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    execv(binary.c_str(), argv.data());
    _exit(127);
  }
  close(ends[1]);
  output_ = fdopen(ends[0], "r");
  char line[256] = {};
  if (output_ == nullptr || std::fgets(line, sizeof line, output_) == nullptr) return;
  const auto announced = nlohmann::json::parse(line, nullptr, false);
  if (!announced.is_object() || !announced.contains("listening")) return;
  const std::string address = announced["listening"];
  port_ = std::stoi(address.substr(address.rfind(':') + 1));
}

ServeProcess::~ServeProcess() {
  if (pid_ > 0 && status_ < 0) {
    kill(pid_, SIGKILL);
    Wait();
  }
  if (output_ != nullptr) std::fclose(output_);
}

void ServeProcess::Signal(int signal) const { kill(pid_, signal); }

// The log is read to its end first: a service whose output pipe is full
// waits for its reader before it can end.
int ServeProcess::Wait() {
  if (status_ >= 0) return status_;
  std::string line;
  for (int c; output_ != nullptr && (c = std::fgetc(output_)) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    lines_.push_back(line);
    line.clear();
  }
  if (!line.empty()) lines_.push_back(line);
  int status = 0;
  waitpid(pid_, &status, 0);
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_;
}

int ServeProcess::WaitUnread(std::chrono::seconds bound) {
  if (status_ >= 0) return status_;
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    usleep(20'000);
  }
  return -1;
}

std::vector<std::string> ServeProcess::LogLines() {
  Wait();
  return lines_;
}

}  // namespace zarnel::serverkit::testing
