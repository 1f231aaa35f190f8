// The options of `zarnel-verify serve`, from its command line and from
// the environment: every option --foo-bar can also be set as
// ZARNEL_VERIFY_FOO_BAR (a flag with 1 or 0), which is what a container or
// a systemd unit sets; the command line wins.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "challenge.h"
#include "challenge_store.h"
#include "http_service.h"

namespace zarnel::serverkit::tool {

struct ServeOptions {
  std::string host;
  int port = -1;
  bool insecure = false;
  service::TlsFiles tls;
  std::string tokenFile;
  std::string redisPasswordFile;
  service::HttpLimits limits;  // workerThreads: as given, else by the store
  std::optional<std::size_t> workerThreads;
  std::string store = "memory";
  ChallengeStoreOptions storeOptions;
  std::uint32_t newestBuild = kNewestClientBuild;
  std::optional<std::uint32_t> oldestBuild;
  std::optional<std::chrono::milliseconds> redisTimeout;
  std::string logLevel = "info";
  std::chrono::seconds drain{10};
  bool help = false;
};

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// `environment` holds "NAME=VALUE" entries (the process's own when
// `environ` is passed). Throws UsageError naming the option or variable
// that is wrong; a ZARNEL_VERIFY_ variable of no option is wrong too,
// since a misspelt setting would otherwise be dropped without a word.
ServeOptions ParseServeOptions(int argc, char** argv, const char* const* environment);

// Every option with its value, its variable and what it does.
std::string ServeUsageText();

// "--foo-bar" -> "ZARNEL_VERIFY_FOO_BAR".
std::string EnvironmentName(const std::string& option);

// Loopback only by name or address: "localhost", 127.0.0.0/8, ::1.
bool IsLoopback(const std::string& host);

}  // namespace zarnel::serverkit::tool
