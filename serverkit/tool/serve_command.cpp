#include "serve_command.h"

#include <chrono>
#include <csignal>
#include <cstdint>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "http_service.h"
#include "memory_challenge_store.h"
#include "redis_challenge_store.h"
#include "verification_service.h"

namespace zarnel::serverkit::tool {

namespace {

using service::HttpLimits;
using service::HttpService;
using service::ServicePolicy;
using service::VerificationService;

struct ServeOptions {
  std::string host;
  int port = -1;
  std::string store = "memory";
  ChallengeStoreOptions storeOptions;
  std::uint32_t newestBuild = kNewestClientBuild;
  std::optional<std::uint32_t> oldestBuild;
  std::size_t threads = HttpLimits{}.threads;
  std::optional<std::chrono::milliseconds> redisTimeout;
};

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

std::uint64_t Number(const std::string& option, const std::string& text, std::uint64_t low,
                     std::uint64_t high) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoull(text) < low || std::stoull(text) > high) {
    throw UsageError(option + " must be a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high));
  }
  return std::stoull(text);
}

void ParseListen(const std::string& text, ServeOptions& options) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos || colon == 0) throw UsageError("--listen must be HOST:PORT");
  options.host = text.substr(0, colon);
  options.port = static_cast<int>(Number("--listen port", text.substr(colon + 1), 0, 65535));
}

ServeOptions ParseOptions(int argc, char** argv) {
  ServeOptions options;
  for (int i = 0; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) throw UsageError(option + " needs a value");
    const std::string value = argv[++i];
    constexpr std::uint64_t kDay = 24 * 3600;
    if (option == "--listen") {
      ParseListen(value, options);
    } else if (option == "--store") {
      options.store = value;
    } else if (option == "--login-ttl") {
      options.storeOptions.loginTtl = std::chrono::seconds(Number(option, value, 1, kDay));
    } else if (option == "--hard-cheat-ttl") {
      options.storeOptions.hardCheatTtl = std::chrono::seconds(Number(option, value, 1, kDay));
    } else if (option == "--max-entries") {
      options.storeOptions.maxEntries = Number(option, value, 1, 1'000'000'000);
    } else if (option == "--newest-build") {
      options.newestBuild = static_cast<std::uint32_t>(Number(option, value, 1, 0xFFFFFFFF));
    } else if (option == "--oldest-build") {
      options.oldestBuild = static_cast<std::uint32_t>(Number(option, value, 1, 0xFFFFFFFF));
    } else if (option == "--threads") {
      options.threads = Number(option, value, 1, 1024);
    } else if (option == "--redis-timeout-ms") {
      // Under 10 ms a busy but healthy Redis looks down; past a minute a
      // login waits longer than any backend would.
      options.redisTimeout = std::chrono::milliseconds(Number(option, value, 10, 60'000));
    } else {
      throw UsageError("unknown option " + option);
    }
  }
  if (options.port < 0) throw UsageError("--listen HOST:PORT is required");
  if (options.redisTimeout && options.store == "memory") {
    throw UsageError("--redis-timeout-ms needs a redis:// store");
  }
  if (options.oldestBuild && *options.oldestBuild > options.newestBuild) {
    throw UsageError("--oldest-build must not be above --newest-build (" +
                     std::to_string(options.newestBuild) + ")");
  }
  return options;
}

int Usage(const std::string& problem) {
  std::cerr << "zarnel-verify serve: " << problem << "\n"
            << "usage: zarnel-verify serve --listen HOST:PORT "
               "[--store memory|redis://[[USER]:PASSWORD@]HOST:PORT/PREFIX]\n"
               "       [--login-ttl SECONDS] [--hard-cheat-ttl SECONDS] [--max-entries N]\n"
               "       [--oldest-build N] [--newest-build N] [--threads N]\n"
               "       [--redis-timeout-ms N]\n";
  return 2;
}

}  // namespace

int RunServeCommand(int argc, char** argv) {
  ServeOptions options;
  try {
    options = ParseOptions(argc, argv);
  } catch (const UsageError& error) {
    return Usage(error.what());
  }

  std::unique_ptr<ChallengeStore> store;
  std::function<Verdict()> health = [] { return Accept(); };
  if (options.store == "memory") {
    store = std::make_unique<MemoryChallengeStore>(options.storeOptions);
  } else {
    RedisStoreAddress address;
    std::string error;
    if (!ParseRedisStoreUrl(options.store, address, error)) return Usage(error);
    if (options.redisTimeout) address.timeout = *options.redisTimeout;
    auto redis = std::make_unique<RedisChallengeStore>(address, options.storeOptions);
    health = [store = redis.get()] { return store->Ping(); };
    store = std::move(redis);
  }

  // The signals are taken by one thread with sigwait, which may stop the
  // server; a handler could not.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);

  ServicePolicy policy;
  policy.builds = AcceptedBuildsUpTo(options.newestBuild, options.oldestBuild);
  policy.storeName = options.store == "memory" ? "memory" : "redis";
  const VerificationService service(*store, policy, health);
  HttpLimits limits;
  limits.threads = options.threads;
  HttpService http(service, limits);
  std::string error;
  const int port = http.Bind(options.host, options.port, error);
  if (port < 0) {
    std::cerr << "zarnel-verify serve: " << error << "\n";
    return 1;
  }
  // One line for whoever started the service (tests, the demo), then quiet.
  std::cout << "{\"listening\":\"" << options.host << ":" << port << "\"}" << std::endl;

  std::thread waiter([&http, signals] {
    int received = 0;
    sigwait(&signals, &received);
    http.Stop();
  });
  const bool served = http.Run();
  // Run ended without a signal (it failed): wake the waiter ourselves.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  return served ? 0 : 1;
}

}  // namespace zarnel::serverkit::tool
