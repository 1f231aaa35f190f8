#include "redis_server.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include <hiredis/hiredis.h>

namespace zarnel::serverkit::testing {

namespace {

// Connects as the default user (with its password when it has one).
redisContext* ConnectAs(int port, const std::string& password, timeval* timeout) {
  redisContext* context = timeout != nullptr
                              ? redisConnectWithTimeout("127.0.0.1", port, *timeout)
                              : redisConnect("127.0.0.1", port);
  if (context == nullptr || context->err != 0 || password.empty()) return context;
  auto* reply = static_cast<redisReply*>(redisCommand(context, "AUTH %b", password.data(),
                                                      password.size()));
  const bool ok = reply != nullptr && reply->type == REDIS_REPLY_STATUS;
  if (reply != nullptr) freeReplyObject(reply);
  if (!ok) {
    redisFree(context);
    return nullptr;
  }
  return context;
}

bool AnswersPing(int port, const std::string& password, int timeoutMilliseconds = 200) {
  timeval timeout{timeoutMilliseconds / 1000, (timeoutMilliseconds % 1000) * 1000};
  redisContext* context = ConnectAs(port, password, &timeout);
  bool ok = false;
  if (context != nullptr && context->err == 0 &&
      redisSetTimeout(context, timeout) == REDIS_OK) {
    auto* reply = static_cast<redisReply*>(redisCommand(context, "PING"));
    ok = reply != nullptr && reply->type == REDIS_REPLY_STATUS;
    if (reply != nullptr) freeReplyObject(reply);
  }
  if (context != nullptr) redisFree(context);
  return ok;
}

std::string ReplyAsText(const redisReply& reply) {
  if (reply.type == REDIS_REPLY_ARRAY) {
    std::string text;
    for (std::size_t i = 0; i < reply.elements; ++i) {
      text += (i == 0 ? "" : " ") + ReplyAsText(*reply.element[i]);
    }
    return text;
  }
  return reply.str != nullptr ? std::string(reply.str, reply.len) : std::to_string(reply.integer);
}

}  // namespace

bool RedisServer::Start(std::string& error, int port) {
  if (dir_.empty()) {
    char dir[] = "/tmp/zarnel-redis-test-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
      error = "cannot make a temporary folder";
      return false;
    }
    dir_ = dir;
  }
  port_ = port != 0 ? port : FreeLocalPort();
  const std::string portText = std::to_string(port_);
  std::vector<std::string> arguments = {"redis-server"};
  if (!sentinelConfig_.empty()) {
    // A sentinel rewrites its configuration file as it learns.
    const std::string config = dir_ + "/sentinel.conf";
    std::ofstream(config) << sentinelConfig_;
    arguments.push_back(config);
    arguments.push_back("--sentinel");
  }
  if (tls_.empty()) {
    arguments.insert(arguments.end(), {"--port", portText});
  } else {
    arguments.insert(arguments.end(), {"--port", "0", "--tls-port", portText});
    arguments.insert(arguments.end(), tls_.begin(), tls_.end());
  }
  arguments.insert(arguments.end(), {"--bind", "127.0.0.1", "--dir", dir_, "--logfile",
                                     dir_ + "/redis.log"});
  if (sentinelConfig_.empty()) {
    arguments.insert(arguments.end(), {"--save", "", "--appendonly", "no"});
  }
  if (!password_.empty()) arguments.insert(arguments.end(), {"--requirepass", password_});
  for (const std::string& user : users_) {
    arguments.push_back("--user");
    std::size_t start = 0;
    while (start < user.size()) {
      const std::size_t space = user.find(' ', start);
      const std::size_t end = space == std::string::npos ? user.size() : space;
      arguments.push_back(user.substr(start, end - start));
      start = end + 1;
    }
  }
  if (allowDebug_) arguments.insert(arguments.end(), {"--enable-debug-command", "local"});
  arguments.insert(arguments.end(), extra_.begin(), extra_.end());
  pid_ = fork();
  if (pid_ == 0) {
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    execvp("redis-server", argv.data());
    _exit(127);
  }
  if (pid_ < 0) {
    error = "cannot fork";
    return false;
  }
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (tls_.empty() ? AnswersPing(port_, password_) : AcceptsConnections(port_)) return true;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      error = "redis-server ended at start (is Debian's redis-server installed?)";
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  Stop();
  error = "redis-server did not " + std::string(tls_.empty() ? "answer PING" : "accept") +
          " on port " + portText;
  return false;
}

void RedisServer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

bool RedisServer::Answers(int timeoutMilliseconds) const {
  return AnswersPing(port_, password_, timeoutMilliseconds);
}

bool RedisServer::RunWhileAsleep(const std::string& seconds, int probeMilliseconds,
                                 const std::function<void()>& during) const {
  std::string slept;
  std::atomic<bool> awake{false};
  std::thread sleeper([&] {
    Run({"DEBUG", "SLEEP", seconds}, slept);
    awake = true;
  });
  while (!awake && Answers(probeMilliseconds)) std::this_thread::yield();
  during();
  sleeper.join();
  return slept == "OK";
}

void RedisServer::AddArguments(const std::vector<std::string>& arguments) {
  extra_.insert(extra_.end(), arguments.begin(), arguments.end());
}

void RedisServer::MonitorAsSentinel(const std::string& name, int primaryPort, int quorum) {
  const std::string prefix = "sentinel ";
  sentinelConfig_ = prefix + "monitor " + name + " 127.0.0.1 " + std::to_string(primaryPort) +
                    " " + std::to_string(quorum) + "\n" + prefix + "down-after-milliseconds " +
                    name + " 1000\n" + prefix + "failover-timeout " + name + " 5000\n" + prefix +
                    "parallel-syncs " + name + " 1\n";
}

void RedisServer::ListenOnTlsOnly(const std::string& certificate, const std::string& key,
                                  const std::string& caFile) {
  tls_ = {"--tls-cert-file", certificate, "--tls-key-file", key, "--tls-ca-cert-file", caFile,
          "--tls-auth-clients", "yes"};
}

void RedisServer::Pause() {
  if (pid_ > 0) kill(pid_, SIGSTOP);
}

void RedisServer::Resume() {
  if (pid_ > 0) kill(pid_, SIGCONT);
}

void RedisServer::AddUser(const std::string& user, const std::string& password) {
  users_.push_back(user + " on >" + password + " ~* &* +@all");
}

bool RedisServer::Run(const std::vector<std::string>& command, std::string& reply) const {
  redisContext* context = ConnectAs(port_, password_, nullptr);
  if (context == nullptr) return false;
  std::vector<const char*> pointers;
  std::vector<size_t> lengths;
  for (const std::string& part : command) {
    pointers.push_back(part.data());
    lengths.push_back(part.size());
  }
  auto* answer = static_cast<redisReply*>(redisCommandArgv(
      context, static_cast<int>(command.size()), pointers.data(), lengths.data()));
  const bool answered = answer != nullptr;
  if (answered) {
    reply = ReplyAsText(*answer);
    freeReplyObject(answer);
  }
  redisFree(context);
  return answered;
}

bool WaitFor(const std::function<bool()>& condition, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

bool CreateCluster(const std::vector<RedisServer*>& nodes, std::string& error) {
  std::string command = "redis-cli --cluster create";
  for (const RedisServer* node : nodes) command += " 127.0.0.1:" + std::to_string(node->port());
  command += " --cluster-replicas 0 --cluster-yes >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) {
    error = "redis-cli --cluster create failed (is Debian's redis-tools installed?)";
    return false;
  }
  const bool ok = WaitFor(
      [&nodes] {
        for (const RedisServer* node : nodes) {
          std::string info;
          if (!node->Run({"CLUSTER", "INFO"}, info) ||
              info.find("cluster_state:ok") == std::string::npos) {
            return false;
          }
        }
        return true;
      },
      30);
  if (!ok) error = "the cluster's nodes did not all say cluster_state:ok";
  return ok;
}

RedisServer::~RedisServer() {
  Stop();
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}

}  // namespace zarnel::serverkit::testing
