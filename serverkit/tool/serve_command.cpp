#include "serve_command.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <fstream>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/ip/address.hpp>
#include <openssl/crypto.h>

#include "http_service.h"
#include "json_log.h"
#include "serve_options.h"
#include "memory_challenge_store.h"
#include "redis_challenge_store.h"
#include "verification_service.h"

namespace zarnel::serverkit::tool {

namespace {

using service::HttpLimits;
using service::HttpService;
using service::ServicePolicy;
using service::VerificationService;

// The first line of `path`, without its line end: a secret kept out of
// the command line, where any user of the machine could read it.
bool ReadSecretLine(const std::string& path, std::string& secret, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  std::string line;
  if (!file || !std::getline(file, line)) {
    error = "cannot read " + path;
    return false;
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) {
    error = path + " holds no password on its first line";
    return false;
  }
  secret = line;
  OPENSSL_cleanse(line.data(), line.size());
  return true;
}

// Each connection is a descriptor: the soft limit (often 1024) is raised
// towards the hard one so that the connection limit, not the descriptor
// table, is what a flood meets.
void RaiseDescriptorLimit(std::size_t connections) {
  struct rlimit limit {};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  const rlim_t wanted = static_cast<rlim_t>(connections) + 256;
  if (limit.rlim_cur >= wanted) return;
  limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min(wanted, limit.rlim_max);
  setrlimit(RLIMIT_NOFILE, &limit);
  if (limit.rlim_cur < wanted) {
    std::cerr << "zarnel-verify serve: the descriptor limit " << limit.rlim_cur
              << " is below --max-connections " << connections << " and what the service needs"
              << " beside them\n";
  }
}

int Usage(const std::string& problem) {
  std::cerr << "zarnel-verify serve: " << problem << "\n"
            << "usage: zarnel-verify serve --listen HOST:PORT [OPTION VALUE]...\n"
            << "(zarnel-verify serve --help lists every option)\n";
  return 2;
}

}  // namespace

int RunServeCommand(int argc, char** argv) {
  ServeOptions options;
  try {
    options = ParseServeOptions(argc, argv, environ);
  } catch (const UsageError& error) {
    return Usage(error.what());
  }
  if (options.help) {
    std::cout << ServeUsageText();
    return 0;
  }

  std::unique_ptr<ChallengeStore> store;
  RedisChallengeStore* redis = nullptr;
  std::function<Verdict()> health = [] { return Accept(); };
  if (options.store == "memory") {
    store = std::make_unique<MemoryChallengeStore>(options.storeOptions);
  } else {
    RedisStoreAddress address;
    std::string error;
    if (!ParseRedisStoreUrl(options.store, address, error)) return Usage(error);
    if (options.redisTimeout) address.timeout = *options.redisTimeout;
    if (!options.redisPasswordFile.empty()) {
      if (!address.password.empty()) return Usage("the Redis password is given twice");
      if (!ReadSecretLine(options.redisPasswordFile, address.password, error)) {
        std::cerr << "zarnel-verify serve: " << error << "\n";
        return 1;
      }
    }
    auto redisStore = std::make_unique<RedisChallengeStore>(address, options.storeOptions);
    redis = redisStore.get();
    health = [redis] { return redis->Ping(); };
    store = std::move(redisStore);
  }

  // The signals are taken by one thread with sigwait, which may stop the
  // server; a handler could not.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  service::JsonLog log(options.logLevel);
  // The service's own failures, with the reasons callers never read.
  const service::ServiceLog serviceLog = [&log](const std::string& line) {
    log.Event("error", "service-error", line);
  };
  ServicePolicy policy;
  policy.builds = AcceptedBuildsUpTo(options.newestBuild, options.oldestBuild);
  policy.storeName = options.store == "memory" ? "memory" : "redis";
  const VerificationService service(*store, policy, health, serviceLog);
  service::HttpAccess access;
  if (!options.tls.certificateChain.empty()) access.tls = options.tls;
  std::string error;
  if (!options.tokenFile.empty()) {
    access.tokens = std::make_shared<service::BearerTokens>();
    if (!access.tokens->Load(options.tokenFile, error)) {
      std::cerr << "zarnel-verify serve: " << error << "\n";
      return 1;
    }
  }
  if (options.insecure && !IsLoopback(options.host)) {
    std::cerr << "zarnel-verify serve: --insecure: anyone who reaches " << options.host
              << " may issue challenges and verify answers\n";
  }
  RaiseDescriptorLimit(options.limits.maxConnections);
  HttpService http(service, options.limits, std::move(access), [&log](const std::string& line) {
    log.Event("warn", "http", line);
  });
  http.SetRequestObserver([&log](const service::RequestRecord& record) { log.Request(record); });
  service::ServiceMetrics& metrics = http.metrics();
  metrics.SetExtra([&metrics, &store, redis] {
    return metrics.RenderStore(*store, redis != nullptr ? redis->Timeouts() : 0);
  });
  const int port = http.Bind(options.host, options.port, error);
  if (port < 0) {
    std::cerr << "zarnel-verify serve: " << error << "\n";
    return 1;
  }
  // The first line, for whoever started the service (tests, the demo);
  // the log's lines follow.
  std::cout << "{\"listening\":\"" << options.host << ":" << port << "\"}" << std::endl;
  log.Event("info", "listening", options.host + ":" + std::to_string(port));

  std::atomic<bool> finished{false};
  std::thread waiter([&http, &log, &finished, &options, signals] {
    int received = 0;
    sigwait(&signals, &received);
    if (finished.load()) return;
    // Rolling: not ready at once, so that load balancers move on, while
    // everything still gets served; then no new connections, and every
    // request already received answered. A second signal cuts the drain
    // short; a third stops at once.
    http.SetDraining(true);
    log.Event("info", "draining", std::to_string(options.drain.count()) + " s");
    const timespec drain{static_cast<time_t>(options.drain.count()), 0};
    const bool cut = sigtimedwait(&signals, nullptr, &drain) > 0;
    if (finished.load()) return;
    log.Event("info", "stopping", cut ? "drain cut short by a second signal" : "");
    http.Shutdown();
    sigwait(&signals, &received);
    if (!finished.load()) http.Stop();
  });
  const bool served = http.Run();
  finished.store(true);
  // Wake the waiter wherever it waits.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  log.Event("info", "stopped", "");
  return served ? 0 : 1;
}

}  // namespace zarnel::serverkit::tool
