// The verification service through a real HTTP client, on a free local
// port, in front of each store (Redis: a real redis-server).
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <stdexcept>
#include <vector>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "http_service.h"
#include "memory_challenge_store.h"
#include "redis_challenge_store.h"
#include "redis_server.h"
#include "signed_answers.h"

namespace zarnel::serverkit {
namespace {

using nlohmann::json;
using testing::Hex;
using testing::Raw;
using testing::Unhex;

enum class Backend { kMemory, kRedis };

struct Reply {
  int status = 0;
  json body;
};

class VerificationServiceTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::kMemory) {
      store_ = std::make_unique<MemoryChallengeStore>();
    } else {
      std::string error;
      ASSERT_TRUE(redis_.Start(error)) << error;
      RedisStoreAddress address{"127.0.0.1", redis_.port(), "service", std::chrono::milliseconds(500)};
      auto redis = std::make_unique<RedisChallengeStore>(address);
      health_ = [store = redis.get()] { return store->Ping(); };
      store_ = std::move(redis);
    }
    service_ = std::make_unique<service::VerificationService>(*store_, service::ServicePolicy{}, health_);
    http_ = std::make_unique<service::HttpService>(*service_);
    std::string error;
    port_ = http_->Bind("127.0.0.1", 0, error);
    ASSERT_GT(port_, 0) << error;
    server_ = std::thread([this] { http_->Run(); });
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port_);
    client_->set_read_timeout(10, 0);
  }

  void TearDown() override {
    if (http_) http_->Stop();
    if (server_.joinable()) server_.join();
  }

  Reply Call(const std::string& method, const std::string& path, const std::string& body = "") {
    httplib::Result result = method == "GET" ? client_->Get(path.c_str())
                                             : client_->Post(path.c_str(), body, "application/json");
    Reply reply;
    EXPECT_TRUE(result) << method << " " << path << ": " << httplib::to_string(result.error());
    if (!result) return reply;
    reply.status = result->status;
    reply.body = json::parse(result->body, nullptr, /*allow_exceptions=*/false);
    EXPECT_TRUE(reply.body.is_object()) << "not one JSON object: " << result->body;
    return reply;
  }
  Reply Post(const std::string& path, const json& body) { return Call("POST", path, body.dump()); }

  Challenge IssueOver(const std::string& path, const std::string& session) {
    const Reply reply = Post(path, {{"session", session}});
    EXPECT_EQ(reply.status, 200) << reply.body.dump();
    const json& c = reply.body["challenge"];
    return Challenge{static_cast<std::uint16_t>(c["version"].get<int>()),
                     c["build"].get<std::uint32_t>(), Unhex(c["id"].get<std::string>()),
                     Unhex(c["nonce"].get<std::string>())};
  }

  json LoginBody(const std::string& session, const LoginAnswer& answer) {
    return {{"session", session},          {"challenge_id", Hex(answer.challengeId)},
            {"login_name", answer.loginName}, {"client_build", answer.clientBuild},
            {"key_kind", answer.keyKind},  {"machine_digest", Hex(answer.machineDigest)},
            {"public_key", Hex(answer.publicKey)}, {"signature", Hex(answer.signature)}};
  }

  testing::RedisServer redis_;
  std::function<Verdict()> health_ = [] { return Accept(); };
  std::unique_ptr<ChallengeStore> store_;
  std::unique_ptr<service::VerificationService> service_;
  std::unique_ptr<service::HttpService> http_;
  std::thread server_;
  int port_ = 0;
  std::unique_ptr<httplib::Client> client_;
  const testing::TestDeviceKey device_ = testing::MakeTestDeviceKey();
};

TEST_P(VerificationServiceTest, LoginProofsAreVerifiedOnceForTheirSession) {
  const Challenge challenge = IssueOver("/v1/login-challenges", "s1");
  EXPECT_EQ(challenge.version, 2);
  EXPECT_EQ(challenge.build, 62u);
  const LoginAnswer answer = testing::SignLoginAnswer(device_, challenge, "alice");

  json body = LoginBody("s1", answer);
  body["login_name"] = "Alice";
  body["known_public_keys"] = {Hex(testing::MakeTestDeviceKey().blob), Hex(device_.blob)};
  Reply reply = Post("/v1/login-proofs", body);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body["check"], "ok") << reply.body.dump();
  EXPECT_EQ(reply.body["login_name"], "alice");
  EXPECT_EQ(reply.body["challenge_id"], Hex(challenge.id));
  EXPECT_FALSE(reply.body.contains("repeat"));

  // The backend's retry of the same call gets the same verdict, marked as a
  // repeat; the proof from another session is a replay.
  reply = Post("/v1/login-proofs", body);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body["check"], "ok") << reply.body.dump();
  EXPECT_EQ(reply.body["repeat"], true);
  EXPECT_EQ(reply.body["login_name"], "alice");
  body["session"] = "s2";
  reply = Post("/v1/login-proofs", body);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body["ok"], false);
  EXPECT_EQ(reply.body["check"], "challenge-used");

  const Challenge other = IssueOver("/v1/login-challenges", "s1");
  reply = Post("/v1/login-proofs", LoginBody("s2", testing::SignLoginAnswer(device_, other)));
  EXPECT_EQ(reply.body["check"], "challenge-wrong-session");
  const Challenge hardCheat = IssueOver("/v1/hard-cheat-challenges", "s1");
  reply = Post("/v1/login-proofs", LoginBody("s1", testing::SignLoginAnswer(device_, hardCheat)));
  EXPECT_EQ(reply.body["check"], "challenge-wrong-kind");
}

TEST_P(VerificationServiceTest, AReportGetsItsAcknowledgement) {
  const Challenge challenge = IssueOver("/v1/hard-cheat-challenges", "s1");
  EXPECT_EQ(challenge.version, 1);
  const Raw reportId = testing::Pattern(16, 0x71);
  const json body = {
      {"session", "s1"},
      {"report", Hex(testing::SignHardCheatReport(device_, challenge, reportId))},
      {"evidence", {{"name", "active-debugger"}, {"pid", 700}, {"access", 0}}}};
  Reply reply = Post("/v1/hard-cheat-reports", body);
  EXPECT_EQ(reply.status, 200);
  EXPECT_EQ(reply.body["check"], "ok") << reply.body.dump();
  EXPECT_EQ(reply.body["report_id"], Hex(reportId));
  EXPECT_EQ(reply.body["evidence_checked"], true);
  EXPECT_EQ(reply.body["acknowledgement"], json({{"report_id", Hex(reportId)}, {"accepted", 1}}));

  // The retry gets the same acknowledgement; the replay from another
  // session is rejected, and its acknowledgement says so.
  reply = Post("/v1/hard-cheat-reports", body);
  EXPECT_EQ(reply.body["check"], "ok");
  EXPECT_EQ(reply.body["repeat"], true);
  EXPECT_EQ(reply.body["acknowledgement"], json({{"report_id", Hex(reportId)}, {"accepted", 1}}));
  json replay = body;
  replay["session"] = "s2";
  reply = Post("/v1/hard-cheat-reports", replay);
  EXPECT_EQ(reply.body["check"], "challenge-used");
  EXPECT_EQ(reply.body["report_id"], Hex(reportId));
  EXPECT_EQ(reply.body["acknowledgement"]["accepted"], 0);

  reply = Post("/v1/hard-cheat-acknowledgements", {{"session", "s2"}, {"report_id", Hex(reportId)}});
  EXPECT_EQ(reply.body["check"], "report-wrong-session");
  reply = Post("/v1/hard-cheat-acknowledgements", {{"session", "s1"}, {"report_id", Hex(reportId)}});
  EXPECT_EQ(reply.body["check"], "ok");
}

TEST_P(VerificationServiceTest, AnswersBadInputToMalformedRequests) {
  const std::string tooLarge = "{\"session\":\"" + std::string(70 * 1024, 's') + "\"}";
  struct Case {
    const char* name;
    std::string method;
    std::string path;
    std::string body;
    int status;
  };
  const Case cases[] = {
      {"not JSON", "POST", "/v1/login-challenges", "{\"session\":", 400},
      {"not UTF-8", "POST", "/v1/login-challenges", "{\"session\":\"\xff\"}", 400},
      {"an array", "POST", "/v1/hard-cheat-challenges", "[]", 400},
      {"no session", "POST", "/v1/login-challenges", "{}", 400},
      {"session a number", "POST", "/v1/login-challenges", "{\"session\":7}", 400},
      {"proof without fields", "POST", "/v1/login-proofs", "{\"session\":\"s1\"}", 400},
      {"report not hex", "POST", "/v1/hard-cheat-reports",
       "{\"session\":\"s1\",\"report\":\"zz\"}", 400},
      {"unknown endpoint", "POST", "/v1/everything", "{}", 404},
      {"GET on a POST endpoint", "GET", "/v1/login-proofs", "", 405},
      {"body over the limit", "POST", "/v1/login-challenges", tooLarge, 413},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Reply reply = Call(c.method, c.path, c.body);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.body.value("check", ""), "bad-input") << reply.body.dump();
    EXPECT_EQ(reply.body.value("ok", true), false);
  }
  // A session the store refuses is a verdict, not malformed JSON.
  const Reply reply = Post("/v1/login-challenges", {{"session", ""}});
  EXPECT_EQ(reply.body["check"], "session-invalid");
  EXPECT_EQ(Call("GET", "/healthz").status, 200);
}

INSTANTIATE_TEST_SUITE_P(BothStores, VerificationServiceTest,
                         ::testing::Values(Backend::kMemory, Backend::kRedis),
                         [](const ::testing::TestParamInfo<Backend>& info) {
                           return info.param == Backend::kMemory ? "Memory" : "Redis";
                         });

// A challenge names the build the client runs when the backend says it,
// else the oldest build accepted, never merely the newest: a guard refuses
// a challenge naming a build above its own, so preparing the service for a
// new build must not lock out the current one.
TEST(VerificationServiceBuilds, AChallengeNamesTheClientsBuildOrTheOldestAccepted) {
  struct Case {
    const char* name;
    AcceptedBuilds builds;
    json request;
    const char* check;
    std::uint32_t named;
  };
  const Case cases[] = {
      {"defaults, no build given", AcceptedBuildsUpTo(62), {{"session", "s1"}}, "ok", 62},
      {"a newer build accepted, no build given", AcceptedBuildsUpTo(63), {{"session", "s1"}},
       "ok", 62},
      {"a newer build accepted, the backend's build 63", AcceptedBuildsUpTo(63),
       {{"session", "s1"}, {"build", 63}}, "ok", 63},
      {"a newer build accepted, the backend's build 62", AcceptedBuildsUpTo(63),
       {{"session", "s1"}, {"build", 62}}, "ok", 62},
      {"an older newest than the kit's own", AcceptedBuildsUpTo(50), {{"session", "s1"}}, "ok",
       50},
      {"oldest 60, no build given", AcceptedBuildsUpTo(63, 60), {{"session", "s1"}}, "ok", 60},
      {"oldest 60, the backend's build 61", AcceptedBuildsUpTo(63, 60),
       {{"session", "s1"}, {"build", 61}}, "ok", 61},
      {"oldest 60, the backend's build 59", AcceptedBuildsUpTo(63, 60),
       {{"session", "s1"}, {"build", 59}}, "challenge-build-out-of-range", 0},
      {"the backend's build above the newest", AcceptedBuildsUpTo(63),
       {{"session", "s1"}, {"build", 64}}, "challenge-build-out-of-range", 0},
      {"an oldest above the newest", AcceptedBuilds{64, 63}, {{"session", "s1"}},
       "challenge-build-out-of-range", 0},
      {"an invalid session is named first", AcceptedBuildsUpTo(63),
       {{"session", ""}, {"build", 64}}, "session-invalid", 0},
  };
  for (const Case& c : cases) {
    for (const char* path : {"/v1/login-challenges", "/v1/hard-cheat-challenges"}) {
      SCOPED_TRACE(std::string(c.name) + " on " + path);
      MemoryChallengeStore store;
      service::ServicePolicy policy;
      policy.builds = c.builds;
      const service::VerificationService service(store, policy);
      const service::ServiceReply reply = service.Handle("POST", path, c.request.dump());
      EXPECT_EQ(reply.body.value("check", ""), c.check) << reply.body.dump();
      EXPECT_EQ(reply.status, 200);
      if (reply.body["ok"] == true) {
        EXPECT_EQ(reply.body["challenge"]["build"], c.named);
      } else {
        EXPECT_FALSE(reply.body.contains("challenge"));
        EXPECT_EQ(store.size(), 0u);
      }
    }
  }
}

// The release case itself: the service already accepts build 63, and a
// build-62 client that asks for no build of its own still logs in.
TEST(VerificationServiceBuilds, TheCurrentBuildLogsInWhileANewerOneIsAccepted) {
  MemoryChallengeStore store;
  service::ServicePolicy policy;
  policy.builds = AcceptedBuildsUpTo(63);
  const service::VerificationService service(store, policy);
  const service::ServiceReply issued =
      service.Handle("POST", "/v1/login-challenges", R"({"session":"s1"})");
  ASSERT_EQ(issued.body["check"], "ok") << issued.body.dump();
  const json& c = issued.body["challenge"];
  const Challenge challenge{2, c["build"].get<std::uint32_t>(), Unhex(c["id"].get<std::string>()),
                            Unhex(c["nonce"].get<std::string>())};
  const testing::TestDeviceKey device = testing::MakeTestDeviceKey();
  const LoginAnswer answer = testing::SignLoginAnswer(device, challenge, "alice");
  ASSERT_EQ(answer.clientBuild, 62u);
  const json proof = {{"session", "s1"}, {"challenge_id", Hex(answer.challengeId)},
                      {"login_name", "alice"}, {"client_build", answer.clientBuild},
                      {"key_kind", answer.keyKind}, {"machine_digest", Hex(answer.machineDigest)},
                      {"public_key", Hex(answer.publicKey)}, {"signature", Hex(answer.signature)}};
  const service::ServiceReply verified = service.Handle("POST", "/v1/login-proofs", proof.dump());
  EXPECT_EQ(verified.body["check"], "ok") << verified.body.dump();
}

// Backends open their connections in bursts (a fleet restarting, a pool
// filling): every one of them is served, none dropped at the door.
TEST(VerificationServiceHttp, ServesABurstOfNewConnections) {
  MemoryChallengeStore store;
  const service::VerificationService service(store, {});
  service::HttpLimits limits;
  limits.workerThreads = 16;
  service::HttpService http(service, limits);
  std::string error;
  const int port = http.Bind("127.0.0.1", 0, error);
  ASSERT_GT(port, 0) << error;
  std::thread server([&http] { http.Run(); });

  constexpr int kConnections = 200;
  std::atomic<int> served{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> clients;
  for (int i = 0; i < kConnections; ++i) {
    clients.emplace_back([&] {
      httplib::Client client("127.0.0.1", port);
      client.set_connection_timeout(10, 0);
      client.set_read_timeout(10, 0);
      while (!go) std::this_thread::yield();
      auto reply = client.Get("/healthz");
      if (reply && reply->status == 200) ++served;
    });
  }
  go = true;
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(served.load(), kConnections);
  http.Stop();
  server.join();
}

// Redis gone: the service says so with 503 and accepts nothing.
TEST(VerificationServiceRedis, ALostStoreIsUnavailableNotAccepted) {
  testing::RedisServer redis;
  std::string error;
  ASSERT_TRUE(redis.Start(error)) << error;
  RedisChallengeStore store({"127.0.0.1", redis.port(), "lost", std::chrono::milliseconds(500)});
  const service::VerificationService service(store, {}, [&store] { return store.Ping(); });
  const testing::TestDeviceKey device = testing::MakeTestDeviceKey();
  Challenge challenge;
  ASSERT_TRUE(store.IssueLoginChallenge("s1", 62, 62, challenge).ok());
  const LoginAnswer answer = testing::SignLoginAnswer(device, challenge);
  redis.Stop();

  service::HttpService http(service);
  const int port = http.Bind("127.0.0.1", 0, error);
  ASSERT_GT(port, 0) << error;
  std::thread server([&http] { http.Run(); });
  httplib::Client client("127.0.0.1", port);
  const json proof = {{"session", "s1"}, {"challenge_id", Hex(answer.challengeId)},
                      {"login_name", "alice"}, {"client_build", 62}, {"key_kind", 2},
                      {"machine_digest", Hex(answer.machineDigest)},
                      {"public_key", Hex(answer.publicKey)}, {"signature", Hex(answer.signature)}};
  for (const auto& [path, body] : {std::pair<std::string, std::string>{"/v1/login-proofs", proof.dump()},
                                   {"/v1/login-challenges", R"({"session":"s1"})"}}) {
    SCOPED_TRACE(path);
    auto result = client.Post(path.c_str(), body, "application/json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 503);
    EXPECT_EQ(json::parse(result->body)["check"], "store-unavailable");
  }
  auto health = client.Get("/healthz");
  ASSERT_TRUE(health);
  EXPECT_EQ(health->status, 503);
  http.Stop();
  server.join();
}

// What the service writes to its log, kept for the test to read.
struct CapturedLog {
  std::shared_ptr<std::vector<std::string>> lines = std::make_shared<std::vector<std::string>>();
  std::shared_ptr<std::mutex> mutex = std::make_shared<std::mutex>();

  service::ServiceLog Sink() const {
    return [lines = lines, mutex = mutex](const std::string& line) {
      std::lock_guard<std::mutex> lock(*mutex);
      lines->push_back(line);
    };
  }
  std::string All() const {
    std::lock_guard<std::mutex> lock(*mutex);
    std::string all;
    for (const std::string& line : *lines) all += line + "\n";
    return all;
  }
};

// Callers get a fixed detail for whatever the store could not do; the
// store's own words (its address, Redis's replies, which quote a script's
// digest) go to the service's log. The Redis password is in neither.
TEST(VerificationServiceSecrets, TheRedisPasswordAndAddressNeverReachACaller) {
  const std::string password = "pa55-w0rd_of-the-fleet";
  testing::RedisServer redis;
  redis.RequirePassword(password);
  std::string error;
  ASSERT_TRUE(redis.Start(error)) << error;
  const std::string port = std::to_string(redis.port());
  const testing::TestDeviceKey device = testing::MakeTestDeviceKey();

  struct Call {
    const char* method;
    const char* path;
    json body;
  };
  const std::vector<Call> calls = {
      {"POST", "/v1/login-challenges", {{"session", "s1"}}},
      {"POST", "/v1/hard-cheat-challenges", {{"session", "s1"}}},
      {"POST", "/v1/login-proofs",
       {{"session", "s1"}, {"challenge_id", Hex(testing::Pattern(16, 1))}, {"login_name", "a"},
        {"client_build", 62}, {"key_kind", 2}, {"machine_digest", Hex(testing::Pattern(32, 2))},
        {"public_key", Hex(device.blob)}, {"signature", Hex(testing::Pattern(64, 3))}}},
      {"POST", "/v1/hard-cheat-reports",
       {{"session", "s1"}, {"report", Hex(testing::Pattern(241, 4))}}},
      {"POST", "/v1/hard-cheat-acknowledgements",
       {{"session", "s1"}, {"report_id", Hex(testing::Pattern(16, 5))}}},
      {"GET", "/healthz", nullptr},
  };
  // Every call answers store-unavailable with the fixed detail, and its
  // answer holds neither the password nor the address.
  const auto expectEveryCallRefusedPlainly = [&](const service::VerificationService& service) {
    for (const Call& call : calls) {
      SCOPED_TRACE(call.path);
      const service::ServiceReply reply =
          service.Handle(call.method, call.path, call.body.is_null() ? "" : call.body.dump());
      EXPECT_EQ(reply.status, 503);
      EXPECT_EQ(reply.body.value("check", ""), "store-unavailable") << reply.body.dump();
      EXPECT_EQ(reply.body.value("detail", ""), service::kStoreUnavailableDetail);
      EXPECT_EQ(reply.body.dump().find(password), std::string::npos);
    }
  };

  struct Case {
    const char* name;
    std::string url;
    std::function<void()> breakIt;
    std::string logged;  // what the log says instead
  };
  const Case cases[] = {
      {"the wrong password", "redis://:not-" + password + "@127.0.0.1:" + port + "/wrong",
       [] {}, "WRONGPASS"},
      {"a key the store's script cannot use",
       "redis://:" + password + "@127.0.0.1:" + port + "/clobbered",
       [&] {
         std::string reply;
         ASSERT_TRUE(redis.Run({"SET", "clobbered:held:login", "not a sorted set"}, reply));
       },
       "WRONGTYPE"},
      {"Redis gone", "redis://:" + password + "@127.0.0.1:" + port + "/gone",
       [&] { redis.Stop(); }, "127.0.0.1:" + port},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RedisStoreAddress address;
    ASSERT_TRUE(ParseRedisStoreUrl(c.url, address, error)) << error;
    RedisChallengeStore store(address);
    CapturedLog log;
    const service::VerificationService service(store, {}, [&store] { return store.Ping(); },
                                               log.Sink());
    c.breakIt();
    if (std::string(c.name) == "Redis gone") {
      expectEveryCallRefusedPlainly(service);
    } else {
      // The script's failure shows in issuing; a wrong password in all.
      const service::ServiceReply reply =
          service.Handle("POST", "/v1/login-challenges", R"({"session":"s1"})");
      EXPECT_EQ(reply.status, 503);
      EXPECT_EQ(reply.body.value("detail", ""), service::kStoreUnavailableDetail)
          << reply.body.dump();
      if (std::string(c.name) == "the wrong password") expectEveryCallRefusedPlainly(service);
    }
    const std::string logged = log.All();
    EXPECT_NE(logged.find(c.logged), std::string::npos) << logged;
    EXPECT_EQ(logged.find(password), std::string::npos) << logged;
  }
}

// The right password: the service works as it does without one.
TEST(VerificationServiceSecrets, APasswordProtectedRedisServesLogins) {
  testing::RedisServer redis;
  redis.RequirePassword("s3cret");
  redis.AddUser("login-fleet", "fleet-s3cret");
  std::string error;
  ASSERT_TRUE(redis.Start(error)) << error;
  const testing::TestDeviceKey device = testing::MakeTestDeviceKey();
  for (const std::string credentials : {":s3cret", "login-fleet:fleet-s3cret"}) {
    SCOPED_TRACE(credentials);
    RedisStoreAddress address;
    ASSERT_TRUE(ParseRedisStoreUrl("redis://" + credentials + "@127.0.0.1:" +
                                       std::to_string(redis.port()) + "/fleet",
                                   address, error))
        << error;
    RedisChallengeStore store(address);
    const service::VerificationService service(store, {}, [&store] { return store.Ping(); });
    const service::ServiceReply issued =
        service.Handle("POST", "/v1/login-challenges", R"({"session":"s1"})");
    ASSERT_EQ(issued.body["check"], "ok") << issued.body.dump();
    const json& c = issued.body["challenge"];
    const LoginAnswer answer = testing::SignLoginAnswer(
        device, Challenge{2, c["build"].get<std::uint32_t>(), Unhex(c["id"].get<std::string>()),
                          Unhex(c["nonce"].get<std::string>())});
    const json proof = {{"session", "s1"}, {"challenge_id", Hex(answer.challengeId)},
                        {"login_name", answer.loginName}, {"client_build", answer.clientBuild},
                        {"key_kind", answer.keyKind},
                        {"machine_digest", Hex(answer.machineDigest)},
                        {"public_key", Hex(answer.publicKey)}, {"signature", Hex(answer.signature)}};
    EXPECT_EQ(service.Handle("POST", "/v1/login-proofs", proof.dump()).body["check"], "ok");
    EXPECT_EQ(service.Handle("GET", "/healthz", "").status, 200);
  }
}

// A caller over its share is told so with 429 (session-limit,
// caller-limit), apart from a full store's 503; each refusal names its
// limit and issues nothing, and none is logged: a flood would write a line
// per refused call. Another session, another caller and the other kind
// still get challenges.
TEST(VerificationServiceLimits, ACallerOverItsShareGets429AndOthersStillIssue) {
  ChallengeStoreOptions options;
  options.maxOpenPerSession = 2;
  options.maxOpenPerCaller = 3;
  options.maxEntries = 8;  // four of each kind
  MemoryChallengeStore store(options);
  CapturedLog log;
  const service::VerificationService service(store, {}, [] { return Accept(); }, log.Sink());
  const char* const login = "/v1/login-challenges";
  const char* const hardCheat = "/v1/hard-cheat-challenges";
  struct Step {
    std::string caller;
    const char* session;
    const char* path;
    int status;
    const char* check;
    const char* detailNames;
  };
  const Step steps[] = {
      {"backend-a", "s1", login, 200, "ok", ""},
      {"backend-a", "s1", hardCheat, 200, "ok", ""},
      {"backend-a", "s1", login, 429, "session-limit", "2 open challenges"},
      {"backend-a", "s2", login, 200, "ok", ""},
      {"backend-a", "s3", hardCheat, 429, "caller-limit", "3 open challenges"},
      {"backend-b", "s3", hardCheat, 200, "ok", ""},
      {"backend-b", "s4", hardCheat, 200, "ok", ""},
      {"backend-b", "s5", hardCheat, 200, "ok", ""},
      {"", "s6", hardCheat, 503, "store-full", "4 hard-cheat challenges"},
      {"", "s6", login, 200, "ok", ""},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.caller + " " + step.session + " " + step.path);
    const service::ServiceReply reply =
        service.Handle("POST", step.path, json{{"session", step.session}}.dump(), step.caller);
    EXPECT_EQ(reply.status, step.status);
    EXPECT_EQ(reply.body.value("check", ""), step.check) << reply.body.dump();
    EXPECT_EQ(reply.body.contains("challenge"), reply.status == 200);
    EXPECT_NE(reply.body.value("detail", "").find(step.detailNames), std::string::npos)
        << reply.body.dump();
  }
  EXPECT_EQ(log.All(), "");
}

// A store that fails the way no verdict foresees: by throwing.
class ThrowingStore final : public ChallengeStore {
 public:
  ThrowingStore() : ChallengeStore({}) {}

 protected:
  Verdict Put(const StoredChallenge&, const std::string&, std::chrono::milliseconds) override {
    throw std::runtime_error("connection to redis://:hunter2@10.1.2.3:6379 broke mid-write");
  }
  Verdict Take(const Bytes&, const Bytes&, TakenChallenge&) override { throw std::bad_alloc(); }
  Verdict KeepVerdict(const Bytes&, const Bytes&, const Verdict&) override {
    throw std::logic_error("keep");
  }
  Verdict BindReport(const Bytes&, const std::string&, std::chrono::milliseconds) override {
    throw std::logic_error("bind");
  }
  Verdict ReleaseReport(const Bytes&, const std::string&) override { throw 42; }
  Verdict HeldEntries(ChallengeKind, std::size_t&) override { throw std::bad_alloc(); }
};

// A failure of the service itself is 500 with a check of its own, not the
// caller's bad input; its text goes to the log only.
TEST(VerificationServiceErrors, AnInternalErrorIs500AndNamedAsSuch) {
  ThrowingStore store;
  CapturedLog log;
  const service::VerificationService service(
      store, {}, []() -> Verdict { throw std::runtime_error("health probe failed at 10.1.2.3"); },
      log.Sink());
  const testing::TestDeviceKey device = testing::MakeTestDeviceKey();
  struct Call {
    const char* method;
    const char* path;
    std::string body;
    const char* logged;
  };
  const Call calls[] = {
      {"POST", "/v1/login-challenges", R"({"session":"s1"})", "hunter2@10.1.2.3"},
      {"POST", "/v1/login-proofs",
       json{{"session", "s1"}, {"challenge_id", Hex(testing::Pattern(16, 1))},
            {"login_name", "a"}, {"client_build", 62}, {"key_kind", 2},
            {"machine_digest", Hex(testing::Pattern(32, 2))}, {"public_key", Hex(device.blob)},
            {"signature", Hex(testing::Pattern(64, 3))}}
           .dump(),
       "bad_alloc"},
      {"POST", "/v1/hard-cheat-acknowledgements",
       json{{"session", "s1"}, {"report_id", Hex(testing::Pattern(16, 5))}}.dump(),
       "no standard type"},
      {"GET", "/healthz", "", "health probe failed"},
  };
  for (const Call& call : calls) {
    SCOPED_TRACE(call.path);
    const service::ServiceReply reply = service.Handle(call.method, call.path, call.body);
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(service::DumpJson(reply.body),
              std::string(R"({"ok":false,"check":"internal-error","detail":")") +
                  service::kInternalErrorDetail + "\"}");
    EXPECT_NE(log.All().find(call.logged), std::string::npos) << log.All();
  }
  // Bad input stays bad input: the body is read before the store is asked.
  EXPECT_EQ(service.Handle("POST", "/v1/login-challenges", "{}").status, 400);

  service::HttpService http(service);
  std::string error;
  const int port = http.Bind("127.0.0.1", 0, error);
  ASSERT_GT(port, 0) << error;
  std::thread server([&http] { http.Run(); });
  httplib::Client client("127.0.0.1", port);
  auto result = client.Post("/v1/login-challenges", R"({"session":"s1"})", "application/json");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 500);
  EXPECT_EQ(json::parse(result->body)["check"], "internal-error");
  http.Stop();
  server.join();
}

}  // namespace
}  // namespace zarnel::serverkit
