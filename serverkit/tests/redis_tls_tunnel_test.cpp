// The service on a Redis that speaks TLS only, reached as the README tells
// operators to, since the store's hiredis has no TLS: through a socat
// tunnel on loopback that checks the server's certificate and shows a
// client certificate of its own, with the Redis password going through it.
// A tunnel whose TLS is refused, at either end, or whose Redis is gone must
// leave the service up and saying so, neither hanging nor crashing.
#include <signal.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "redis_server.h"
#include "serve_process.h"
#include "signed_answers.h"
#include "test_certificates.h"
#include "tls_tunnel.h"

namespace zarnel::serverkit {
namespace {

using nlohmann::json;
using testing::RedisServer;
using testing::ServeProcess;
using testing::TestPki;
using testing::TlsTunnel;
using testing::TunnelTls;

constexpr char kPassword[] = "tunnel-secret";

// `command` in plain RESP to 127.0.0.1:`port`, after AUTH: Redis's reply as
// text, or "" when there was none (a closed connection or a few seconds of
// silence).
std::string PlainCommand(int port, const std::vector<std::string>& command) {
  const timeval limit{3, 0};
  redisContext* context = redisConnectWithTimeout("127.0.0.1", port, limit);
  std::string text;
  if (context != nullptr && context->err == 0 && redisSetTimeout(context, limit) == REDIS_OK) {
    const std::vector<std::string> auth = {"AUTH", kPassword};
    for (const std::vector<std::string>* sent : {&auth, &command}) {
      std::vector<const char*> parts;
      std::vector<size_t> lengths;
      for (const std::string& part : *sent) {
        parts.push_back(part.data());
        lengths.push_back(part.size());
      }
      auto* reply = static_cast<redisReply*>(redisCommandArgv(
          context, static_cast<int>(sent->size()), parts.data(), lengths.data()));
      if (reply == nullptr) {
        text.clear();
        break;
      }
      text = reply->str != nullptr ? std::string(reply->str, reply->len)
                                   : std::to_string(reply->integer);
      freeReplyObject(reply);
    }
  }
  if (context != nullptr) redisFree(context);
  return text;
}

class RedisOverTlsTunnel : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TlsTunnel::Installed()) {
      GTEST_SKIP() << "socat is not installed (scripts/setup.sh installs it)";
    }
    ASSERT_TRUE(pki_.ok() && stranger_.ok());
    const testing::CertificateFiles server = pki_.Server();
    ASSERT_FALSE(server.certificate.empty());
    redis_.RequirePassword(kPassword);
    redis_.ListenOnTlsOnly(server.certificate, server.key, pki_.caFile());
    std::string error;
    ASSERT_TRUE(redis_.Start(error)) << error;
  }

  // What an operator would configure: the service's own CA and client
  // certificate, and the server checked as 127.0.0.1.
  TunnelTls OperatorsTls() { return {pki_.caFile(), pki_.Client("zarnel-verify"), ""}; }

  // `zarnel-verify serve` with its store at the tunnel's end, the password
  // in the URL.
  static std::vector<std::string> ServeArguments(const TlsTunnel& tunnel,
                                                 const std::string& password = kPassword) {
    return {"--listen", "127.0.0.1:0", "--drain-seconds", "0", "--store",
            "redis://:" + password + "@127.0.0.1:" + std::to_string(tunnel.port()) + "/tls"};
  }

  TestPki pki_{"redis CA"};
  TestPki stranger_{"someone else's CA"};
  RedisServer redis_;
};

int StatusOf(httplib::Client& client, const char* path) {
  const httplib::Result result = client.Get(path);
  return result ? result->status : 0;
}

// The status and the body of a POST; 0 and null when nothing came back.
std::pair<int, json> Post(httplib::Client& client, const char* path, const json& body) {
  const httplib::Result result = client.Post(path, body.dump(), "application/json");
  if (!result) return {0, json()};
  return {result->status, json::parse(result->body, nullptr, false)};
}

TEST_F(RedisOverTlsTunnel, TheServiceAcceptsAnAnswerOnceThroughTheTunnel) {
  TlsTunnel tunnel;
  std::string error;
  ASSERT_TRUE(tunnel.Start(redis_.port(), OperatorsTls(), error)) << error;
  // TLS is really in the path: Redis answers through the tunnel only.
  EXPECT_EQ(PlainCommand(tunnel.port(), {"PING"}), "PONG");
  EXPECT_EQ(PlainCommand(redis_.port(), {"PING"}), "");

  ServeProcess serve(ZARNEL_VERIFY_PATH, ServeArguments(tunnel));
  ASSERT_GT(serve.port(), 0);
  httplib::Client client("127.0.0.1", serve.port());
  EXPECT_EQ(StatusOf(client, "/readyz"), 200);

  const auto [issuedStatus, issued] = Post(client, "/v1/login-challenges", {{"session", "s1"}});
  ASSERT_EQ(issuedStatus, 200) << issued.dump();
  const json& c = issued["challenge"];
  const Challenge challenge{static_cast<std::uint16_t>(c["version"].get<int>()),
                            c["build"].get<std::uint32_t>(),
                            testing::Unhex(c["id"].get<std::string>()),
                            testing::Unhex(c["nonce"].get<std::string>())};
  EXPECT_EQ(PlainCommand(tunnel.port(), {"EXISTS", "tls:challenge:" + c["id"].get<std::string>()}),
            "1");
  const testing::TestDeviceKey device = testing::MakeTestDeviceKey();
  const LoginAnswer answer = testing::SignLoginAnswer(device, challenge);
  const LoginAnswer replay = testing::SignLoginAnswer(device, challenge);
  const auto [acceptedStatus, accepted] =
      Post(client, "/v1/login-proofs", testing::LoginProofBody("s1", answer));
  EXPECT_EQ(accepted.value("check", "?"), "ok") << acceptedStatus << " " << accepted.dump();
  const auto [refusedStatus, refused] =
      Post(client, "/v1/login-proofs", testing::LoginProofBody("s1", replay));
  EXPECT_EQ(refused.value("check", "?"), "challenge-used")
      << refusedStatus << " " << refused.dump();

  // Redis gone behind a tunnel that is still up.
  redis_.Stop();
  EXPECT_EQ(StatusOf(client, "/readyz"), 503);
  const auto [unavailableStatus, unavailable] =
      Post(client, "/v1/login-challenges", {{"session", "s2"}});
  EXPECT_EQ(unavailableStatus, 503);
  EXPECT_EQ(unavailable.value("check", "?"), "store-unavailable") << unavailable.dump();
  EXPECT_EQ(StatusOf(client, "/livez"), 200);
  serve.Signal(SIGTERM);
  EXPECT_EQ(serve.Wait(), 0);
}

// The tunnel accepts, but the TLS behind it is refused by Redis or by the
// tunnel itself, or Redis refuses the password that came through it.
TEST_F(RedisOverTlsTunnel, ARefusedTunnelIsStoreUnavailableWithTheServiceUp) {
  const struct {
    const char* name;
    TunnelTls tls;
    std::string password;
  } cases[] = {
      {"Redis refuses a client certificate from another CA",
       {pki_.caFile(), stranger_.Client("zarnel-verify"), ""}, kPassword},
      {"Redis refuses a tunnel without a client certificate", {pki_.caFile(), {}, ""}, kPassword},
      {"the tunnel does not trust the server's CA",
       {stranger_.caFile(), pki_.Client("zarnel-verify"), ""}, kPassword},
      {"the server's certificate is not for the name the tunnel checks",
       {pki_.caFile(), pki_.Client("zarnel-verify"), "redis.internal"}, kPassword},
      {"Redis refuses the password", OperatorsTls(), "not-the-password"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TlsTunnel tunnel;
    std::string error;
    ASSERT_TRUE(tunnel.Start(redis_.port(), c.tls, error)) << error;
    ServeProcess serve(ZARNEL_VERIFY_PATH, ServeArguments(tunnel, c.password));
    ASSERT_GT(serve.port(), 0);
    httplib::Client client("127.0.0.1", serve.port());
    EXPECT_EQ(StatusOf(client, "/readyz"), 503);
    const auto [status, body] = Post(client, "/v1/login-challenges", {{"session", "s1"}});
    EXPECT_EQ(status, 503);
    EXPECT_EQ(body.value("check", "?"), "store-unavailable") << body.dump();
    EXPECT_EQ(StatusOf(client, "/livez"), 200);
    serve.Signal(SIGTERM);
    EXPECT_EQ(serve.Wait(), 0);
  }
}

}  // namespace
}  // namespace zarnel::serverkit
