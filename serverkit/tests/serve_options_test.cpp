// The options of `serve` from the command line and the environment, as a
// systemd unit or a container sets them.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "serve_options.h"

namespace zarnel::serverkit::tool {
namespace {

struct Parsed {
  bool ok = false;
  std::string error;
  ServeOptions options;
};

Parsed Parse(std::vector<std::string> arguments, const std::vector<std::string>& environment) {
  std::vector<char*> argv;
  for (std::string& argument : arguments) argv.push_back(argument.data());
  std::vector<const char*> env;
  for (const std::string& entry : environment) env.push_back(entry.c_str());
  env.push_back(nullptr);
  Parsed parsed;
  try {
    parsed.options = ParseServeOptions(static_cast<int>(argv.size()), argv.data(), env.data());
    parsed.ok = true;
  } catch (const UsageError& error) {
    parsed.error = error.what();
  }
  return parsed;
}

TEST(ServeOptions, TheEnvironmentSetsEveryOptionAndTheCommandLineWins) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    std::string host;
    int port;
    bool insecure;
    long long loginTtlSeconds;
  };
  const Case cases[] = {
      {"environment only", {}, {"ZARNEL_VERIFY_LISTEN=127.0.0.1:8420"}, "127.0.0.1", 8420, false,
       120},
      {"command line over environment", {"--listen", "127.0.0.1:9000"},
       {"ZARNEL_VERIFY_LISTEN=127.0.0.1:8420", "ZARNEL_VERIFY_LOGIN_TTL=30"}, "127.0.0.1", 9000,
       false, 30},
      {"a flag from the environment",
       {},
       {"ZARNEL_VERIFY_LISTEN=0.0.0.0:8420", "ZARNEL_VERIFY_INSECURE=1"},
       "0.0.0.0",
       8420,
       true,
       120},
      {"a flag turned off", {"--listen", "127.0.0.1:1"}, {"ZARNEL_VERIFY_INSECURE=0"},
       "127.0.0.1", 1, false, 120},
      {"other variables are not ours", {"--listen", "[::1]:2"},
       {"ZARNEL_OTHER=1", "PATH=/usr/bin", "ZARNEL_VERIFY_NOEQUALS"}, "::1", 2, false, 120},
  };
  for (const Case& c : cases) {
    const Parsed parsed = Parse(c.arguments, c.environment);
    ASSERT_TRUE(parsed.ok) << c.name << ": " << parsed.error;
    EXPECT_EQ(parsed.options.host, c.host) << c.name;
    EXPECT_EQ(parsed.options.port, c.port) << c.name;
    EXPECT_EQ(parsed.options.insecure, c.insecure) << c.name;
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(parsed.options.storeOptions.loginTtl)
                  .count(),
              c.loginTtlSeconds)
        << c.name;
  }
}

TEST(ServeOptions, AWrongSettingIsNamedWhereverItCameFrom) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    const char* named;
  };
  const Case cases[] = {
      {"a misspelt variable", {"--listen", "127.0.0.1:1"}, {"ZARNEL_VERIFY_LOGIN_TLL=30"},
       "ZARNEL_VERIFY_LOGIN_TLL"},
      {"a bad number in a variable", {"--listen", "127.0.0.1:1"}, {"ZARNEL_VERIFY_LOGIN_TTL=1m"},
       "ZARNEL_VERIFY_LOGIN_TTL"},
      {"a flag that is neither 1 nor 0", {"--listen", "127.0.0.1:1"},
       {"ZARNEL_VERIFY_INSECURE=yes"}, "ZARNEL_VERIFY_INSECURE"},
      {"a public listen from the environment", {}, {"ZARNEL_VERIFY_LISTEN=0.0.0.0:1"},
       "not a loopback address"},
      {"a bad log level", {"--listen", "127.0.0.1:1", "--log-level", "loud"}, {}, "--log-level"},
      {"a hard-cheat share of everything", {"--listen", "127.0.0.1:1", "--hard-cheat-share", "100"},
       {}, "--hard-cheat-share"},
      {"no open challenge per session", {"--listen", "127.0.0.1:1"},
       {"ZARNEL_VERIFY_MAX_OPEN_PER_SESSION=0"}, "ZARNEL_VERIFY_MAX_OPEN_PER_SESSION"},
      {"a drain too long", {"--listen", "127.0.0.1:1"}, {"ZARNEL_VERIFY_DRAIN_SECONDS=301"},
       "ZARNEL_VERIFY_DRAIN_SECONDS"},
  };
  for (const Case& c : cases) {
    const Parsed parsed = Parse(c.arguments, c.environment);
    EXPECT_FALSE(parsed.ok) << c.name;
    EXPECT_NE(parsed.error.find(c.named), std::string::npos) << c.name << ": " << parsed.error;
  }
}

// A Redis store waits on the network: without workers one slow reply
// would hold an I/O thread and every connection on it.
TEST(ServeOptions, VerificationWorkersFollowTheStoreUnlessGiven) {
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    std::size_t workers;
  };
  const Case cases[] = {
      {"memory", {}, 0},
      {"one Redis", {"--store", "redis://127.0.0.1:6379/p"}, 16},
      {"Sentinel", {"--store", "redis-sentinel://127.0.0.1:26379/primary/p"}, 16},
      {"Cluster", {"--store", "redis-cluster://127.0.0.1:7000/p"}, 16},
      {"memory, workers given", {"--threads", "4"}, 4},
      {"Redis, none given", {"--store", "redis://127.0.0.1:6379/p", "--threads", "0"}, 0},
  };
  for (const Case& c : cases) {
    std::vector<std::string> arguments = {"--listen", "127.0.0.1:1"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const Parsed parsed = Parse(arguments, {});
    ASSERT_TRUE(parsed.ok) << c.name << ": " << parsed.error;
    EXPECT_EQ(parsed.options.limits.workerThreads, c.workers) << c.name;
  }
}

TEST(ServeOptions, HelpNamesEveryOptionWithItsVariable) {
  const std::string help = ServeUsageText();
  for (const char* option : {"--listen", "--store", "--token-file", "--tls-client-ca",
                             "--insecure", "--log-level", "--drain-seconds", "--max-connections"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
    EXPECT_NE(help.find(EnvironmentName(option)), std::string::npos) << option;
  }
  EXPECT_EQ(EnvironmentName("--redis-timeout-ms"), "ZARNEL_VERIFY_REDIS_TIMEOUT_MS");
}

}  // namespace
}  // namespace zarnel::serverkit::tool
