// What an operator sees of `zarnel-verify serve` and how it stops: its
// JSON log, its Prometheus metrics (checked by promtool), its probes, and
// a SIGTERM in the middle of a stream of requests.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "loopback.h"
#include "redis_server.h"
#include "serve_process.h"
#include "signed_answers.h"

namespace zarnel::serverkit {
namespace {

using nlohmann::json;
using testing::Hex;
using testing::Raw;
using testing::ServeProcess;
using testing::Unhex;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

json Post(httplib::Client& client, const std::string& path, const json& body) {
  const httplib::Result result = client.Post(path.c_str(), body.dump(), "application/json");
  EXPECT_TRUE(result) << path;
  return result ? json::parse(result->body, nullptr, false) : json();
}

Challenge ChallengeOf(const json& answer) {
  const json& c = answer["challenge"];
  return Challenge{static_cast<std::uint16_t>(c["version"].get<int>()),
                   c["build"].get<std::uint32_t>(), Unhex(c["id"].get<std::string>()),
                   Unhex(c["nonce"].get<std::string>())};
}

TEST(ServiceLog, OneJsonLinePerRequestAndALineForEachJudgedReportWithoutSecrets) {
  ServeProcess serve(ZARNEL_VERIFY_PATH, {"--listen", "127.0.0.1:0", "--drain-seconds", "0"});
  ASSERT_GT(serve.port(), 0);
  httplib::Client client("127.0.0.1", serve.port());
  const testing::TestDeviceKey device = testing::MakeTestDeviceKey();
  const std::string session = "session-text-4711";

  const json issued = Post(client, "/v1/login-challenges", {{"session", session}});
  const Challenge login = ChallengeOf(issued);
  const LoginAnswer answer = testing::SignLoginAnswer(device, login);
  const json proof = testing::LoginProofBody(session, answer);
  EXPECT_EQ(Post(client, "/v1/login-proofs", proof)["check"], "ok");
  EXPECT_EQ(Post(client, "/v1/login-proofs", proof)["repeat"], true);

  const Challenge hardCheat = ChallengeOf(Post(client, "/v1/hard-cheat-challenges",
                                               {{"session", session}}));
  const Raw reportId = testing::Pattern(16, 0x42);
  const std::string report = Hex(testing::SignHardCheatReport(device, hardCheat, reportId));
  const json judged = Post(client, "/v1/hard-cheat-reports", {{"session", session}, {"report", report}});
  EXPECT_EQ(judged["check"], "ok") << judged.dump();
  Post(client, "/v1/login-proofs", {{"session", session}});  // bad input

  serve.Signal(SIGTERM);
  ASSERT_EQ(serve.Wait(), 0);
  const std::vector<std::string> lines = serve.LogLines();
  std::vector<json> requests;
  std::vector<json> reports;
  for (const std::string& text : lines) {
    const json line = json::parse(text, nullptr, false);
    ASSERT_TRUE(line.is_object()) << "not one JSON object: " << text;
    EXPECT_TRUE(line.contains("time") && line.contains("level") && line.contains("event")) << text;
    // Neither proof nor key nor signature nor report bytes, ever.
    for (const std::string& secret : {Hex(answer.signature), Hex(answer.publicKey), report}) {
      EXPECT_EQ(text.find(secret), std::string::npos) << text;
    }
    if (line["event"] == "request") {
      EXPECT_EQ(text.find(session), std::string::npos) << "a request line names the session: " << text;
      requests.push_back(line);
    }
    if (line["event"] == "hard-cheat-report") reports.push_back(line);
  }
  struct Expected {
    const char* endpoint;
    int status;
    const char* check;
    std::string id;
    bool repeat;
  };
  const Expected expected[] = {
      {"/v1/login-challenges", 200, "ok", Hex(login.id), false},
      {"/v1/login-proofs", 200, "ok", Hex(login.id), false},
      {"/v1/login-proofs", 200, "ok", Hex(login.id), true},
      {"/v1/hard-cheat-challenges", 200, "ok", Hex(hardCheat.id), false},
      {"/v1/hard-cheat-reports", 200, "ok", Hex(reportId), false},
      {"/v1/login-proofs", 400, "bad-input", "", false},
  };
  ASSERT_EQ(requests.size(), std::size(expected));
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const json& line = requests[i];
    EXPECT_EQ(line["endpoint"], expected[i].endpoint) << line.dump();
    EXPECT_EQ(line["status"], expected[i].status) << line.dump();
    EXPECT_EQ(line["check"], expected[i].check) << line.dump();
    EXPECT_EQ(line.value("id", ""), expected[i].id) << line.dump();
    EXPECT_EQ(line.value("repeat", false), expected[i].repeat) << line.dump();
    EXPECT_EQ(line["caller"], "peer:127.0.0.1") << line.dump();
    EXPECT_TRUE(line["latency_ms"].is_number()) << line.dump();
  }
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0]["report_id"], Hex(reportId));
  EXPECT_EQ(reports[0]["violation"], judged["violation"]);
  EXPECT_EQ(reports[0]["session"], session);
  EXPECT_EQ(reports[0]["verdict"], "ok");
}

// A log reader that stopped reading (a stuck shipper, an unread pipe)
// must not keep the service from stopping: it loses lines instead.
TEST(ServiceLog, AReaderThatStoppedReadingDoesNotHoldTheServiceAtItsEnd) {
  ServeProcess serve(ZARNEL_VERIFY_PATH, {"--listen", "127.0.0.1:0", "--drain-seconds", "0"});
  ASSERT_GT(serve.port(), 0);
  httplib::Client client("127.0.0.1", serve.port());
  // Far more log than a pipe holds (64 KiB): a few thousand lines.
  for (int i = 0; i < 3000; ++i) {
    const httplib::Result health = client.Get("/healthz");
    ASSERT_TRUE(health) << "call " << i;
  }
  serve.Signal(SIGTERM);
  // The bound only ends a test of a service that would hang for ever.
  EXPECT_EQ(serve.WaitUnread(std::chrono::seconds(60)), 0);
}

std::string RunShell(const std::string& command) {
  std::string output;
  if (std::FILE* pipe = popen((command + " 2>&1; echo \"exit=$?\"").c_str(), "r")) {
    char chunk[1024];
    for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) {
      output.append(chunk, got);
    }
    pclose(pipe);
  }
  return output;
}

TEST(ServiceMetrics, TheExpositionPassesPromtoolAndCountsWhatHappened) {
  ASSERT_NE(RunShell("command -v promtool").find("exit=0"), std::string::npos)
      << "promtool is missing (Debian package prometheus; scripts/setup.sh installs it)";
  ServeProcess serve(ZARNEL_VERIFY_PATH, {"--listen", "127.0.0.1:0", "--drain-seconds", "0"});
  ASSERT_GT(serve.port(), 0);
  httplib::Client client("127.0.0.1", serve.port());
  Post(client, "/v1/login-challenges", {{"session", "a"}});
  Post(client, "/v1/login-challenges", {{"session", "b"}});
  Post(client, "/v1/hard-cheat-challenges", {{"session", "a"}});
  Post(client, "/v1/login-proofs", {{"session", "a"}});
  const httplib::Result scraped = client.Get("/metrics");
  ASSERT_TRUE(scraped);
  EXPECT_EQ(scraped->status, 200);
  EXPECT_EQ(scraped->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
  const std::string text = scraped->body;

  char path[] = "/tmp/zarnel-metrics-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  close(fd);
  std::ofstream(path) << text;
  const std::string checked = RunShell(std::string("promtool check metrics < ") + path);
  std::remove(path);
  EXPECT_NE(checked.find("exit=0"), std::string::npos) << checked << "\n" << text;

  for (const char* line : {
           "zarnel_verify_requests_total{endpoint=\"/v1/login-challenges\",status=\"200\"} 2",
           "zarnel_verify_requests_total{endpoint=\"/v1/login-proofs\",status=\"400\"} 1",
           "zarnel_verify_verdicts_total{endpoint=\"/v1/login-proofs\",check=\"bad-input\"} 1",
           "zarnel_verify_request_duration_seconds_count{endpoint=\"/v1/login-challenges\"} 2",
           "zarnel_verify_store_entries{kind=\"login\"} 2",
           "zarnel_verify_store_entries{kind=\"hard-cheat\"} 1",
           "zarnel_verify_store_capacity{kind=\"login\"} 500000",
           "zarnel_verify_draining 0",
       }) {
    EXPECT_NE(text.find(std::string(line) + "\n"), std::string::npos) << line << "\n" << text;
  }
  // This scrape's own connection at least; a connection the client
  // dropped may still be counted until the service sees it close.
  EXPECT_NE(text.find("\nzarnel_verify_open_connections "), std::string::npos) << text;
  EXPECT_EQ(text.find("\nzarnel_verify_open_connections 0\n"), std::string::npos) << text;
  serve.Signal(SIGTERM);
  EXPECT_EQ(serve.Wait(), 0);
}

TEST(ServiceProbes, LiveWhileTheProcessAnswersReadyWhileTheStoreDoes) {
  testing::RedisServer redis;
  std::string error;
  ASSERT_TRUE(redis.Start(error)) << error;
  ServeProcess serve(ZARNEL_VERIFY_PATH,
                     {"--listen", "127.0.0.1:0", "--drain-seconds", "0", "--store",
                      "redis://127.0.0.1:" + std::to_string(redis.port()) + "/probes",
                      "--redis-timeout-ms", "200"});
  ASSERT_GT(serve.port(), 0);
  httplib::Client client("127.0.0.1", serve.port());
  const auto status = [&client](const char* path) {
    const httplib::Result result = client.Get(path);
    return result ? result->status : 0;
  };
  EXPECT_EQ(status("/livez"), 200);
  EXPECT_EQ(status("/readyz"), 200);
  redis.Stop();
  EXPECT_EQ(status("/livez"), 200);
  EXPECT_EQ(status("/readyz"), 503);
  serve.Signal(SIGTERM);
  EXPECT_EQ(serve.Wait(), 0);
}

// A backend's connection, speaking HTTP/1.1 by hand so that a connection
// closed without an answer is seen as such (a client library would
// quietly send again).
class Backend {
 public:
  explicit Backend(int port) : port_(port) {}
  ~Backend() { Close(); }

  bool Connect() {
    Close();
    fd_ = testing::ConnectLoopback(port_, 20);
    return fd_ >= 0;
  }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Sends one request; the answer's status, or 0 when the connection
  // ended without one.
  int Call(const std::string& session) {
    const std::string body = "{\"session\":\"" + session + "\"}";
    const std::string request = "POST /v1/login-challenges HTTP/1.1\r\nHost: x\r\n"
                                "Content-Type: application/json\r\nContent-Length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
      return 0;
    }
    std::string received;
    char chunk[4096];
    std::size_t headerEnd = std::string::npos;
    std::size_t length = 0;
    while (headerEnd == std::string::npos || received.size() < headerEnd + 4 + length) {
      const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
      if (got <= 0) return 0;
      received.append(chunk, static_cast<std::size_t>(got));
      if (headerEnd == std::string::npos && (headerEnd = received.find("\r\n\r\n")) != std::string::npos) {
        const std::size_t at = received.find("Content-Length: ");
        length = at < headerEnd ? std::stoul(received.substr(at + 16)) : 0;
      }
    }
    closing_ = received.find("Connection: close") < headerEnd;
    return std::stoi(received.substr(9, 3));
  }
  // The last answer said the connection ends with it.
  bool closing() const { return closing_; }

 private:
  int port_;
  int fd_ = -1;
  bool closing_ = false;
};

TEST(ServiceDrain, EveryRequestSentBeforeTheListenerClosedIsAnswered) {
  ServeProcess serve(ZARNEL_VERIFY_PATH, {"--listen", "127.0.0.1:0", "--drain-seconds", "1"});
  ASSERT_GT(serve.port(), 0);
  const int port = serve.port();

  struct Sent {
    Clock::time_point at;
    int status;
  };
  std::mutex mutex;
  std::vector<Sent> sent;
  std::atomic<bool> stop{false};
  // The listener is known open at lastOpen and closed at firstClosed;
  // only requests sent before lastOpen were surely sent before it closed.
  std::atomic<Clock::rep> lastOpen{0};
  std::atomic<Clock::rep> firstClosed{0};
  std::thread prober([&] {
    while (!stop.load() && firstClosed.load() == 0) {
      Backend probe(port);
      const auto before = Clock::now();
      if (probe.Connect()) {
        lastOpen.store(before.time_since_epoch().count());
      } else {
        firstClosed.store(Clock::now().time_since_epoch().count());
      }
      std::this_thread::sleep_for(2ms);
    }
  });
  std::vector<std::thread> backends;
  for (int b = 0; b < 4; ++b) {
    backends.emplace_back([&, b] {
      Backend backend(port);
      bool connected = backend.Connect();
      for (int n = 0; connected && !stop.load(); ++n) {
        const Clock::time_point at = Clock::now();
        const int status = backend.Call("b" + std::to_string(b) + "-" + std::to_string(n));
        {
          std::lock_guard<std::mutex> lock(mutex);
          sent.push_back({at, status});
        }
        // Closed by the service: a new connection, as a backend's pool
        // makes one, until the listener is gone.
        if (status == 0 || backend.closing()) connected = backend.Connect();
      }
    });
  }
  std::this_thread::sleep_for(300ms);
  const Clock::time_point signalled = Clock::now();
  serve.Signal(SIGTERM);
  EXPECT_EQ(serve.Wait(), 0);
  stop.store(true);
  prober.join();
  for (std::thread& backend : backends) backend.join();

  ASSERT_NE(lastOpen.load(), 0);
  const Clock::time_point open{Clock::duration(lastOpen.load())};
  std::size_t duringDrain = 0;
  std::size_t beforeClose = 0;
  for (const Sent& request : sent) {
    if (request.at >= open) continue;
    ++beforeClose;
    EXPECT_EQ(request.status, 200) << "a request sent "
                                   << std::chrono::duration_cast<std::chrono::milliseconds>(
                                          open - request.at).count()
                                   << " ms before the listener was last seen open";
    if (request.at > signalled) ++duringDrain;
  }
  // The stream really crossed the signal and the drain.
  EXPECT_GT(duringDrain, 0u);
  EXPECT_GT(beforeClose, duringDrain);
}

}  // namespace
}  // namespace zarnel::serverkit
