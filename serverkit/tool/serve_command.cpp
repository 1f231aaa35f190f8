#include "serve_command.h"

#include <sys/resource.h>

#include <algorithm>
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
  bool insecure = false;
  service::TlsFiles tls;
  std::string tokenFile;
  std::string redisPasswordFile;
  HttpLimits limits;
  std::string store = "memory";
  ChallengeStoreOptions storeOptions;
  std::uint32_t newestBuild = kNewestClientBuild;
  std::optional<std::uint32_t> oldestBuild;
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
  // [::1]:PORT, as IPv6 addresses are written beside a port.
  if (options.host.size() > 2 && options.host.front() == '[' && options.host.back() == ']') {
    options.host = options.host.substr(1, options.host.size() - 2);
  }
  options.port = static_cast<int>(Number("--listen port", text.substr(colon + 1), 0, 65535));
}

// Loopback only by name or address: "localhost", 127.0.0.0/8, ::1.
bool IsLoopback(const std::string& host) {
  if (host == "localhost") return true;
  boost::system::error_code error;
  const auto address = boost::asio::ip::make_address(host, error);
  return !error && address.is_loopback();
}

std::chrono::milliseconds Milliseconds(const std::string& option, const std::string& value,
                                       std::uint64_t low, std::uint64_t high) {
  return std::chrono::milliseconds(Number(option, value, low, high));
}

ServeOptions ParseOptions(int argc, char** argv) {
  ServeOptions options;
  for (int i = 0; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--insecure") {
      options.insecure = true;
      continue;
    }
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
      options.limits.workerThreads = Number(option, value, 1, 1024);
    } else if (option == "--max-connections") {
      options.limits.maxConnections = Number(option, value, 1, 1'000'000);
    } else if (option == "--request-timeout-ms") {
      options.limits.requestTimeout = Milliseconds(option, value, 100, 600'000);
    } else if (option == "--idle-timeout-ms") {
      options.limits.idleTimeout = Milliseconds(option, value, 100, 3'600'000);
    } else if (option == "--tls-cert") {
      options.tls.certificateChain = value;
    } else if (option == "--tls-key") {
      options.tls.privateKey = value;
    } else if (option == "--tls-client-ca") {
      options.tls.clientCa = value;
    } else if (option == "--token-file") {
      options.tokenFile = value;
    } else if (option == "--redis-password-file") {
      options.redisPasswordFile = value;
    } else if (option == "--redis-timeout-ms") {
      // Under 10 ms a busy but healthy Redis looks down; past a minute a
      // login waits longer than any backend would.
      options.redisTimeout = std::chrono::milliseconds(Number(option, value, 10, 60'000));
    } else {
      throw UsageError("unknown option " + option);
    }
  }
  if (options.port < 0) throw UsageError("--listen HOST:PORT is required");
  if (options.tls.certificateChain.empty() != options.tls.privateKey.empty()) {
    throw UsageError("--tls-cert and --tls-key go together");
  }
  if (!options.tls.clientCa.empty() && options.tls.certificateChain.empty()) {
    throw UsageError("--tls-client-ca needs --tls-cert and --tls-key");
  }
  // Anyone who reaches a public port could issue and verify: a caller
  // must prove who it is, unless the operator says otherwise in words.
  const bool authenticated = !options.tls.clientCa.empty() || !options.tokenFile.empty();
  if (!IsLoopback(options.host) && !authenticated && !options.insecure) {
    throw UsageError("--listen " + options.host +
                     " is not a loopback address: callers must authenticate "
                     "(--tls-client-ca or --token-file), or say --insecure");
  }
  if (!options.redisPasswordFile.empty() && options.store == "memory") {
    throw UsageError("--redis-password-file needs a redis:// store");
  }
  if (options.redisTimeout && options.store == "memory") {
    throw UsageError("--redis-timeout-ms needs a redis:// store");
  }
  if (options.oldestBuild && *options.oldestBuild > options.newestBuild) {
    throw UsageError("--oldest-build must not be above --newest-build (" +
                     std::to_string(options.newestBuild) + ")");
  }
  return options;
}

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
            << "usage: zarnel-verify serve --listen HOST:PORT "
               "[--store memory|redis://[[USER]:PASSWORD@]HOST:PORT/PREFIX]\n"
               "       [--login-ttl SECONDS] [--hard-cheat-ttl SECONDS] [--max-entries N]\n"
               "       [--oldest-build N] [--newest-build N] [--threads N]\n"
               "       [--redis-timeout-ms N] [--redis-password-file FILE]\n"
               "       [--tls-cert FILE --tls-key FILE [--tls-client-ca FILE]]\n"
               "       [--token-file FILE] [--insecure]\n"
               "       [--max-connections N] [--request-timeout-ms N] [--idle-timeout-ms N]\n";
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
    if (!options.redisPasswordFile.empty()) {
      if (!address.password.empty()) return Usage("the Redis password is given twice");
      if (!ReadSecretLine(options.redisPasswordFile, address.password, error)) {
        std::cerr << "zarnel-verify serve: " << error << "\n";
        return 1;
      }
    }
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
  HttpService http(service, options.limits, std::move(access));
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
