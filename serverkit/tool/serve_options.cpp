#include "serve_options.h"

#include <string_view>
#include <functional>
#include <vector>

#include <boost/asio/ip/address.hpp>

namespace zarnel::serverkit::tool {

namespace {

constexpr std::uint64_t kDay = 24 * 3600;
constexpr std::size_t kRedisStoreWorkers = 16;

std::uint64_t Number(const std::string& option, const std::string& text, std::uint64_t low,
                     std::uint64_t high) {
  if (text.empty() || text.size() > 12 || text.find_first_not_of("0123456789") != std::string::npos ||
      std::stoull(text) < low || std::stoull(text) > high) {
    throw UsageError(option + " must be a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high));
  }
  return std::stoull(text);
}

std::chrono::milliseconds Milliseconds(const std::string& option, const std::string& value,
                                       std::uint64_t low, std::uint64_t high) {
  return std::chrono::milliseconds(Number(option, value, low, high));
}

std::uint32_t Build(const std::string& option, const std::string& value) {
  return static_cast<std::uint32_t>(Number(option, value, 1, 0xFFFFFFFF));
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

struct OptionRule {
  const char* name;
  const char* value;  // nullptr: a flag
  const char* help;
  std::function<void(const std::string& option, const std::string& value, ServeOptions&)> apply;
};

using O = ServeOptions;
using S = const std::string;

const std::vector<OptionRule>& Rules() {
  static const std::vector<OptionRule> rules = {
      {"--listen", "HOST:PORT", "where to listen (required); port 0: any free port",
       [](S&, S& v, O& o) { ParseListen(v, o); }},
      {"--store",
       "memory|redis://[[USER]:PASSWORD@]HOST:PORT/PREFIX|"
       "redis-sentinel://HOST:PORT[,HOST:PORT...]/PRIMARY/PREFIX|"
       "redis-cluster://HOST:PORT[,HOST:PORT...]/PREFIX",
       "the challenge store (default memory)", [](S&, S& v, O& o) { o.store = v; }},
      {"--redis-password-file", "FILE", "the Redis password, on the file's first line",
       [](S&, S& v, O& o) { o.redisPasswordFile = v; }},
      // Under 10 ms a busy but healthy Redis looks down; past a minute a
      // login waits longer than any backend would.
      {"--redis-timeout-ms", "N", "Redis connect and command time-out, 10 to 60000 (1000)",
       [](S& n, S& v, O& o) { o.redisTimeout = Milliseconds(n, v, 10, 60'000); }},
      {"--login-ttl", "SECONDS", "login challenges' time to live (120)",
       [](S& n, S& v, O& o) { o.storeOptions.loginTtl = std::chrono::seconds(Number(n, v, 1, kDay)); }},
      {"--hard-cheat-ttl", "SECONDS", "hard-cheat challenges' time to live (600)",
       [](S& n, S& v, O& o) {
         o.storeOptions.hardCheatTtl = std::chrono::seconds(Number(n, v, 1, kDay));
       }},
      {"--max-entries", "N", "entries the store holds at most (1000000)",
       [](S& n, S& v, O& o) { o.storeOptions.maxEntries = Number(n, v, 1, 1'000'000'000); }},
      {"--max-open-per-session", "N", "open challenges one session may hold, 1 to 10000 (16)",
       [](S& n, S& v, O& o) { o.storeOptions.maxOpenPerSession = Number(n, v, 1, 10'000); }},
      {"--max-open-per-caller", "N", "open challenges one caller may hold (100000)",
       [](S& n, S& v, O& o) {
         o.storeOptions.maxOpenPerCaller = Number(n, v, 1, 1'000'000'000);
       }},
      {"--hard-cheat-share", "PERCENT",
       "share of --max-entries for hard-cheat challenges and reports, 1 to 99 (50)",
       [](S& n, S& v, O& o) {
         o.storeOptions.hardCheatSharePercent = static_cast<unsigned>(Number(n, v, 1, 99));
       }},
      {"--oldest-build", "N", "oldest client build accepted (the newest)",
       [](S& n, S& v, O& o) { o.oldestBuild = Build(n, v); }},
      {"--newest-build", "N", "newest client build accepted",
       [](S& n, S& v, O& o) { o.newestBuild = Build(n, v); }},
      {"--tls-cert", "FILE", "serve TLS with this certificate chain (PEM)",
       [](S&, S& v, O& o) { o.tls.certificateChain = v; }},
      {"--tls-key", "FILE", "the certificate's private key (PEM)",
       [](S&, S& v, O& o) { o.tls.privateKey = v; }},
      {"--tls-client-ca", "FILE", "require client certificates from these CAs for calls",
       [](S&, S& v, O& o) { o.tls.clientCa = v; }},
      {"--token-file", "FILE", "require a bearer token of this file (one a line) for calls",
       [](S&, S& v, O& o) { o.tokenFile = v; }},
      {"--insecure", nullptr, "allow a public --listen without authentication",
       [](S&, S&, O& o) { o.insecure = true; }},
      {"--threads", "N",
       "verification workers, 0 to 1024 (Redis stores 16; memory 0: the I/O threads verify)",
       [](S& n, S& v, O& o) { o.workerThreads = Number(n, v, 0, 1024); }},
      {"--max-connections", "N", "open connections at most (4096)",
       [](S& n, S& v, O& o) { o.limits.maxConnections = Number(n, v, 1, 1'000'000); }},
      {"--max-connections-per-address", "N",
       "open connections one peer address may hold (1024; raise it behind a load balancer)",
       [](S& n, S& v, O& o) { o.limits.maxConnectionsPerAddress = Number(n, v, 1, 1'000'000); }},
      {"--request-timeout-ms", "N", "one request, first byte to last (10000)",
       [](S& n, S& v, O& o) { o.limits.requestTimeout = Milliseconds(n, v, 100, 600'000); }},
      {"--idle-timeout-ms", "N", "an idle keep-alive connection (60000)",
       [](S& n, S& v, O& o) { o.limits.idleTimeout = Milliseconds(n, v, 100, 3'600'000); }},
      {"--log-level", "debug|info|warn|error", "what the log keeps (info)",
       [](S& n, S& v, O& o) {
         if (v != "debug" && v != "info" && v != "warn" && v != "error") {
           throw UsageError(n + " must be debug, info, warn or error");
         }
         o.logLevel = v;
       }},
      {"--drain-seconds", "N", "on SIGTERM, seconds of serving while not ready, 0 to 300 (10)",
       [](S& n, S& v, O& o) { o.drain = std::chrono::seconds(Number(n, v, 0, 300)); }},
  };
  return rules;
}

const OptionRule* Find(const std::string& name) {
  for (const OptionRule& rule : Rules()) {
    if (name == rule.name) return &rule;
  }
  return nullptr;
}

void Check(const ServeOptions& options) {
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
}

}  // namespace

std::string EnvironmentName(const std::string& option) {
  std::string name = "ZARNEL_VERIFY_";
  for (std::size_t i = 2; i < option.size(); ++i) {
    const char c = option[i];
    name += c == '-' ? '_' : (c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
  }
  return name;
}

bool IsLoopback(const std::string& host) {
  if (host == "localhost") return true;
  boost::system::error_code error;
  const auto address = boost::asio::ip::make_address(host, error);
  return !error && address.is_loopback();
}

ServeOptions ParseServeOptions(int argc, char** argv, const char* const* environment) {
  ServeOptions options;
  // The environment first, so that the command line overrides it.
  constexpr std::string_view kPrefix = "ZARNEL_VERIFY_";
  for (const char* const* entry = environment; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view text(*entry);
    const std::size_t equals = text.find('=');
    if (text.substr(0, kPrefix.size()) != kPrefix || equals == std::string_view::npos) continue;
    const std::string variable(text.substr(0, equals));
    const std::string value(text.substr(equals + 1));
    const OptionRule* rule = nullptr;
    for (const OptionRule& candidate : Rules()) {
      if (EnvironmentName(candidate.name) == variable) rule = &candidate;
    }
    if (rule == nullptr) throw UsageError(variable + " is no option of zarnel-verify serve");
    if (rule->value == nullptr) {
      if (value != "0" && value != "1") throw UsageError(variable + " must be 1 or 0");
      if (value == "1") rule->apply(variable, value, options);
    } else {
      rule->apply(variable, value, options);
    }
  }
  for (int i = 0; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--help" || option == "-h") {
      options.help = true;
      return options;
    }
    const OptionRule* rule = Find(option);
    if (rule == nullptr) throw UsageError("unknown option " + option);
    if (rule->value == nullptr) {
      rule->apply(option, "", options);
      continue;
    }
    if (i + 1 >= argc) throw UsageError(option + " needs a value");
    rule->apply(option, argv[++i], options);
  }
  Check(options);
  // The memory store never waits, so its verification runs where the
  // request was read, two thread switches a request fewer; a Redis store
  // waits on the network, and the I/O threads must not.
  options.limits.workerThreads =
      options.workerThreads.value_or(options.store == "memory" ? 0 : kRedisStoreWorkers);
  return options;
}

std::string ServeUsageText() {
  std::string text =
      "usage: zarnel-verify serve --listen HOST:PORT [OPTION VALUE]... [--insecure]\n"
      "Every option may also be set in the environment (a flag as 1 or 0); the\n"
      "command line wins.\n\n";
  for (const OptionRule& rule : Rules()) {
    std::string line = std::string("  ") + rule.name;
    if (rule.value != nullptr) line += std::string(" ") + rule.value;
    text += line + "\n      " + rule.help + "\n      env " + EnvironmentName(rule.name) + "\n";
  }
  return text;
}

}  // namespace zarnel::serverkit::tool
