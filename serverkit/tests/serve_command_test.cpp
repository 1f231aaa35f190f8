// `zarnel-verify serve` as an operator starts it: it says where it listens,
// serves, and ends cleanly on SIGTERM; bad arguments end it at once.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "redis_server.h"
#include "serve_process.h"
#include "test_certificates.h"

namespace zarnel::serverkit {
namespace {

using nlohmann::json;
using testing::ServeProcess;

// Ends a service that serves, as an operator's SIGTERM does: exit 0.
void StopServe(ServeProcess& serve) {
  serve.Signal(SIGTERM);
  EXPECT_EQ(serve.Wait(), 0);
}

TEST(ServeCommand, ServesOnTheAnnouncedPortAndEndsOnSigterm) {
  ServeProcess serve(ZARNEL_VERIFY_PATH,
                     {"--listen", "127.0.0.1:0", "--store", "memory", "--login-ttl", "30",
                      "--oldest-build", "60", "--newest-build", "63"});
  // The first line names the port: {"listening":"127.0.0.1:PORT"}.
  const int port = serve.port();
  ASSERT_GT(port, 0);

  httplib::Client client("127.0.0.1", port);
  auto health = client.Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 200);
  EXPECT_EQ(json::parse(health->body)["store"], "memory");
  httplib::Result issued = client.Post("/v1/login-challenges", R"({"session":"s1","build":60})",
                            "application/json");
  ASSERT_TRUE(issued);
  const json body = json::parse(issued->body);
  EXPECT_EQ(body["challenge"]["build"], 60);
  EXPECT_EQ(body["expires_in_ms"], 30000);
  issued = client.Post("/v1/login-challenges", R"({"session":"s1"})", "application/json");
  ASSERT_TRUE(issued);
  EXPECT_EQ(json::parse(issued->body)["challenge"]["build"], 60);
  issued = client.Post("/v1/login-challenges", R"({"session":"s1","build":59})",
                       "application/json");
  ASSERT_TRUE(issued);
  EXPECT_EQ(json::parse(issued->body)["check"], "challenge-build-out-of-range");

  StopServe(serve);
}

TEST(ServeCommand, RefusesBadArgumentsWithExitTwo) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--listen"},
      {"--listen", "127.0.0.1"},
      {"--listen", "127.0.0.1:70000"},
      {"--listen", "127.0.0.1:0", "--store", "postgres://x"},
      {"--listen", "127.0.0.1:0", "--store", "redis://127.0.0.1:6379/"},
      {"--listen", "127.0.0.1:0", "--login-ttl", "0"},
      {"--listen", "127.0.0.1:0", "--login-ttl", "-5"},
      {"--listen", "127.0.0.1:0", "--newest-build", "0"},
      {"--listen", "127.0.0.1:0", "--oldest-build", "0"},
      {"--listen", "127.0.0.1:0", "--oldest-build", "64", "--newest-build", "63"},
      {"--listen", "127.0.0.1:0", "--oldest-build", "63"},
      {"--listen", "127.0.0.1:0", "--verbose", "yes"},
      {"--listen", "127.0.0.1:0", "--store", "redis://127.0.0.1:6379/p", "--redis-timeout-ms", "9"},
      {"--listen", "127.0.0.1:0", "--store", "redis://127.0.0.1:6379/p", "--redis-timeout-ms",
       "60001"},
      {"--listen", "127.0.0.1:0", "--store", "redis://127.0.0.1:6379/p", "--redis-timeout-ms",
       "1s"},
      {"--listen", "127.0.0.1:0", "--store", "redis://127.0.0.1:6379/p", "--redis-timeout-ms"},
      {"--listen", "127.0.0.1:0", "--redis-timeout-ms", "500"},
      // Reachable from elsewhere, and nobody has to say who they are.
      {"--listen", "0.0.0.0:0"},
      {"--listen", "[::]:0"},
      {"--listen", "192.0.2.7:0"},
      {"--listen", "0.0.0.0:0", "--tls-cert", "c.pem", "--tls-key", "k.pem"},
      {"--listen", "127.0.0.1:0", "--tls-cert", "c.pem"},
      {"--listen", "127.0.0.1:0", "--tls-client-ca", "ca.pem"},
      {"--listen", "127.0.0.1:0", "--redis-password-file", "/dev/null"},
      {"--listen", "127.0.0.1:0", "--max-connections", "0"},
      {"--listen", "127.0.0.1:0", "--request-timeout-ms", "99"},
  };
  for (const auto& arguments : cases) {
    std::string shown;
    for (const std::string& argument : arguments) shown += argument + " ";
    SCOPED_TRACE(shown);
    ServeProcess serve(ZARNEL_VERIFY_PATH, arguments);
    EXPECT_EQ(serve.Wait(), 2);
  }
}

std::string WriteFile(const std::string& dir, const std::string& name, const std::string& text) {
  const std::string path = dir + "/" + name;
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

struct TempDir {
  TempDir() {
    char folder[] = "/tmp/zarnel-serve-XXXXXX";
    path = mkdtemp(folder) != nullptr ? folder : "/tmp";
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
  std::string path;
};

// A public address is served once callers must authenticate, or once the
// operator says --insecure; loopback never needs either.
TEST(ServeCommand, ServesAPublicAddressOnlyWithAuthenticationOrInsecure) {
  TempDir dir;
  const std::string tokens = WriteFile(dir.path, "tokens", "backend-token-0123456789\n");
  const std::vector<std::vector<std::string>> cases = {
      {"--listen", "0.0.0.0:0", "--insecure"},
      {"--listen", "0.0.0.0:0", "--token-file", tokens},
      {"--listen", "localhost:0"},
  };
  for (const auto& arguments : cases) {
    SCOPED_TRACE(arguments[1] + " " + arguments.back());
    ServeProcess serve(ZARNEL_VERIFY_PATH, arguments);
    const int port = serve.port();
    ASSERT_GT(port, 0);
    httplib::Client client("127.0.0.1", port);
    const httplib::Result health = client.Get("/healthz");
    ASSERT_TRUE(health);
    EXPECT_EQ(health->status, 200);
    StopServe(serve);
  }
}

// What an operator's backend does: curl over TLS with the studio's client
// certificate and a bearer token from the file the service reads.
TEST(ServeCommand, ServesTlsWithClientCertificatesAndTokensToCurl) {
  TempDir dir;
  testing::TestPki studio("studio CA");
  ASSERT_TRUE(studio.ok());
  const testing::CertificateFiles server = studio.Server();
  const testing::CertificateFiles backend = studio.Client("login-backend-7");
  const std::string token = "backend-token-0123456789";
  const std::string tokens = WriteFile(dir.path, "tokens", token + "\n");
  ServeProcess serve(ZARNEL_VERIFY_PATH,
                     {"--listen", "0.0.0.0:0", "--tls-cert", server.certificate, "--tls-key",
                      server.key, "--tls-client-ca", studio.caFile(), "--token-file", tokens});
  const int port = serve.port();
  ASSERT_GT(port, 0);

  const auto curl = [&](const std::string& options) {
    const std::string command =
        "curl -sS --max-time 10 --cacert " + studio.caFile() + " " + options +
        " -H 'Content-Type: application/json' -d '{\"session\":\"s1\"}' -w '\\n%{http_code}' "
        "https://127.0.0.1:" + std::to_string(port) + "/v1/login-challenges 2>&1";
    std::string output;
    if (std::FILE* pipe = popen(command.c_str(), "r")) {
      char chunk[1024];
      for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
        output.append(chunk, got);
      }
      pclose(pipe);
    }
    return output;
  };
  const std::string withCertificate =
      "--cert " + backend.certificate + " --key " + backend.key;
  const std::string withToken = "-H 'Authorization: Bearer " + token + "'";
  struct Case {
    const char* name;
    std::string options;
    const char* status;
  };
  const Case cases[] = {
      {"certificate and token", withCertificate + " " + withToken, "200"},
      {"certificate, no token", withCertificate, "401"},
      {"token, no certificate", withToken, "401"},
  };
  for (const Case& c : cases) {
    const std::string output = curl(c.options);
    EXPECT_EQ(output.substr(output.rfind('\n') + 1), c.status) << c.name << ": " << output;
  }
  StopServe(serve);
}

// The Redis password from a file, so that it is not on the command line
// where every user of the machine can read it.
TEST(ServeCommand, TakesTheRedisPasswordFromAFile) {
  TempDir dir;
  testing::RedisServer redis;
  redis.RequirePassword("file-s3cret-password");
  std::string error;
  ASSERT_TRUE(redis.Start(error)) << error;
  const std::string passwordFile = WriteFile(dir.path, "redis-password", "file-s3cret-password\r\n");
  ServeProcess serve(ZARNEL_VERIFY_PATH,
                     {"--listen", "127.0.0.1:0", "--store",
                      "redis://127.0.0.1:" + std::to_string(redis.port()) + "/pw",
                      "--redis-password-file", passwordFile});
  const int port = serve.port();
  ASSERT_GT(port, 0);
  httplib::Client client("127.0.0.1", port);
  const httplib::Result issued =
      client.Post("/v1/login-challenges", R"({"session":"s1"})", "application/json");
  ASSERT_TRUE(issued);
  EXPECT_EQ(issued->status, 200) << issued->body;
  EXPECT_EQ(issued->body.find("s3cret"), std::string::npos);
  StopServe(serve);

  // Given twice (in the URL and a file) is a usage error, not a guess.
  ServeProcess twice(ZARNEL_VERIFY_PATH,
                     {"--listen", "127.0.0.1:0", "--store",
                      "redis://:other@127.0.0.1:" + std::to_string(redis.port()) + "/pw",
                      "--redis-password-file", passwordFile});
  EXPECT_EQ(twice.Wait(), 2);
}


// --redis-timeout-ms reaches the store: a stall of half a second, which
// the default of a second would wait out, is store-unavailable at 50 ms.
TEST(ServeCommand, TakesTheRedisTimeOutFromItsOption) {
  testing::RedisServer redis;
  redis.AllowDebugCommand();
  std::string error;
  ASSERT_TRUE(redis.Start(error)) << error;
  ServeProcess serve(ZARNEL_VERIFY_PATH,
                     {"--listen", "127.0.0.1:0", "--store",
                      "redis://127.0.0.1:" + std::to_string(redis.port()) + "/timeout",
                      "--redis-timeout-ms", "50"});
  const int port = serve.port();
  ASSERT_GT(port, 0);
  httplib::Client client("127.0.0.1", port);

  // The call has to reach Redis while it sleeps; a loaded machine may let
  // it slip in before, so a few rounds are allowed for one real stall.
  bool stalled = false;
  for (int round = 0; round < 5 && !stalled; ++round) {
    std::optional<httplib::Result> answered;
    ASSERT_TRUE(redis.RunWhileAsleep("0.5", 20, [&] {
      answered.emplace(client.Post("/v1/login-challenges", R"({"session":"s1"})", "application/json"));
    }));
    const httplib::Result& issued = *answered;
    ASSERT_TRUE(issued);
    const json body = json::parse(issued->body);
    if (!body.contains("check") || body["check"] != "store-unavailable") continue;
    stalled = true;
    EXPECT_EQ(issued->status, 503);
  }
  EXPECT_TRUE(stalled) << "no call reached Redis during its sleep";

  StopServe(serve);
}

}  // namespace
}  // namespace zarnel::serverkit
