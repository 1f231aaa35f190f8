// What one caller can make the HTTP service hold: header fields and bytes,
// the time a request may take however it trickles in, idle connections,
// open connections. Raw sockets, since a well-behaved client library would
// never send what these cases send.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "http_service.h"
#include "loopback.h"
#include "memory_challenge_store.h"

namespace zarnel::serverkit {
namespace {

using nlohmann::json;
using namespace std::chrono_literals;

class Socket {
 public:
  explicit Socket(int port) : fd_(testing::ConnectLoopback(port, 10)) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool Send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // Everything up to the server's close (or the receive limit).
  std::string ReadToClose() {
    std::string all;
    char chunk[4096];
    for (ssize_t got; (got = ::recv(fd_, chunk, sizeof chunk, 0)) > 0;) all.append(chunk, got);
    return all;
  }
  // What one read returns (a short answer comes in one).
  std::string ReadSome() {
    char chunk[4096];
    const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    return got > 0 ? std::string(chunk, static_cast<std::size_t>(got)) : std::string();
  }
  // True when the server closed the connection: recv sees its end, not
  // the receive limit.
  bool ClosedByServer() {
    char byte;
    return ::recv(fd_, &byte, 1, 0) == 0;
  }

 private:
  int fd_;
};

int StatusOf(const std::string& response) {
  return response.rfind("HTTP/1.1 ", 0) == 0 ? std::stoi(response.substr(9, 3)) : 0;
}

json BodyOf(const std::string& response) {
  const std::size_t start = response.find("\r\n\r\n");
  return start == std::string::npos ? json()
                                    : json::parse(response.substr(start + 4), nullptr, false);
}

class LimitedService {
 public:
  explicit LimitedService(const service::HttpLimits& limits)
      : service_(store_, {}, [] { return Accept(); }, [](const std::string&) {}),
        http_(service_, limits) {
    std::string error;
    port_ = http_.Bind("127.0.0.1", 0, error);
    if (port_ > 0) thread_ = std::thread([this] { http_.Run(); });
  }
  ~LimitedService() {
    http_.Stop();
    if (thread_.joinable()) thread_.join();
  }
  int port() const { return port_; }

  // /healthz on a connection of its own: the service still answers.
  bool Healthy() {
    httplib::Client client("127.0.0.1", port_);
    client.set_read_timeout(10, 0);
    const httplib::Result result = client.Get("/healthz");
    return result && result->status == 200;
  }

 private:
  MemoryChallengeStore store_;
  service::VerificationService service_;
  service::HttpService http_;
  int port_ = -1;
  std::thread thread_;
};

std::string Request(const std::string& extraFields) {
  const std::string body = R"({"session":"s1"})";
  return "POST /v1/login-challenges HTTP/1.1\r\nHost: 127.0.0.1\r\n"
         "Content-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n" + extraFields + "\r\n" + body;
}

std::string Fields(int count, std::size_t valueSize) {
  std::string fields;
  for (int i = 0; i < count; ++i) {
    fields += "X-Field-" + std::to_string(i) + ": " + std::string(valueSize, 'v') + "\r\n";
  }
  return fields;
}

TEST(HttpLimits, HeaderFieldsAndBytesOverTheLimitAreRefusedByName) {
  service::HttpLimits limits;
  limits.maxHeaderFields = 20;
  limits.maxHeaderBytes = 4096;
  LimitedService running(limits);
  ASSERT_GT(running.port(), 0);
  struct Case {
    const char* name;
    std::string request;
    int status;
  };
  // The request itself carries four fields (Host, Content-Type,
  // Content-Length, Connection).
  const auto closing = [](const std::string& fields) {
    return Request("Connection: close\r\n" + fields);
  };
  const Case cases[] = {
      {"fields up to the limit", closing(Fields(16, 8)), 200},
      {"one field over the limit", closing(Fields(17, 8)), 431},
      {"many tiny fields", closing(Fields(300, 0)), 431},
      {"one field over the byte limit", closing(Fields(1, 5000)), 431},
      // Several fields under the field limit, together over the byte
      // limit, all in one write (the service's first read takes them whole).
      {"fields together over the byte limit", closing(Fields(5, 990)), 431},
      {"fields together under the byte limit", closing(Fields(3, 990)), 200},
      {"an endless header", closing(Fields(4000, 100)), 431},
  };
  for (const Case& c : cases) {
    Socket socket(running.port());
    ASSERT_TRUE(socket.connected()) << c.name;
    socket.Send(c.request);
    const std::string response = socket.ReadToClose();
    EXPECT_EQ(StatusOf(response), c.status) << c.name << ": " << response.substr(0, 200);
    if (c.status != 200) {
      EXPECT_EQ(BodyOf(response).value("check", ""), "bad-input") << c.name;
      EXPECT_NE(BodyOf(response).value("detail", "").find("limit"), std::string::npos) << c.name;
    }
  }
  EXPECT_TRUE(running.Healthy());
}

// A client that sends a header line now and then never finishes a
// request: it is cut off at the request time-out however often it sends,
// and the service answers others all along.
TEST(HttpLimits, ATricklingHeaderIsCutOffAndOthersAreServedMeanwhile) {
  service::HttpLimits limits;
  limits.requestTimeout = 500ms;
  limits.ioThreads = 1;
  LimitedService running(limits);
  ASSERT_GT(running.port(), 0);

  constexpr int kSlowClients = 16;
  std::vector<std::unique_ptr<Socket>> slow;
  for (int i = 0; i < kSlowClients; ++i) {
    slow.push_back(std::make_unique<Socket>(running.port()));
    ASSERT_TRUE(slow.back()->connected());
    ASSERT_TRUE(slow.back()->Send("POST /v1/login-challenges HTTP/1.1\r\n"));
  }
  // Lines keep coming, well inside the time-out each, until the server
  // ends each connection; the bound only ends a test of a broken server.
  std::vector<bool> cut(kSlowClients, false);
  int cutCount = 0;
  for (int round = 0; round < 100 && cutCount < kSlowClients; ++round) {
    EXPECT_TRUE(running.Healthy()) << "round " << round;
    std::this_thread::sleep_for(100ms);
    for (int i = 0; i < kSlowClients; ++i) {
      if (cut[i]) continue;
      if (!slow[i]->Send("X-Slow: " + std::to_string(round) + "\r\n")) {
        cut[i] = true;
        ++cutCount;
      }
    }
  }
  // A send can still succeed after the server's close; the read sees it.
  for (int i = 0; i < kSlowClients; ++i) {
    if (!cut[i]) {
      EXPECT_TRUE(slow[i]->ClosedByServer()) << "slow client " << i;
    }
  }
}

// Without workers the I/O threads verify (the memory store's fast path):
// the same answers, on kept-alive connections too.
TEST(HttpLimits, WithoutWorkersTheConnectionsOwnThreadAnswers) {
  service::HttpLimits limits;
  limits.workerThreads = 0;
  LimitedService running(limits);
  ASSERT_GT(running.port(), 0);
  Socket kept(running.port());
  ASSERT_TRUE(kept.Send(Request("") + Request("Connection: close\r\n")));
  const std::string both = kept.ReadToClose();
  EXPECT_EQ(StatusOf(both), 200);
  EXPECT_NE(both.find("HTTP/1.1 200", 10), std::string::npos) << both;
  EXPECT_TRUE(running.Healthy());
}

TEST(HttpLimits, AnIdleConnectionIsClosedAndAKeptAliveOneServesAgain) {
  service::HttpLimits limits;
  limits.idleTimeout = 300ms;
  LimitedService running(limits);
  ASSERT_GT(running.port(), 0);
  Socket idle(running.port());
  ASSERT_TRUE(idle.connected());
  EXPECT_TRUE(idle.ClosedByServer());

  // Two requests on one connection: keep-alive works under the limits.
  Socket kept(running.port());
  ASSERT_TRUE(kept.Send(Request("") + Request("Connection: close\r\n")));
  const std::string both = kept.ReadToClose();
  EXPECT_EQ(StatusOf(both), 200);
  EXPECT_NE(both.find("HTTP/1.1 200", 10), std::string::npos) << both;
}

// Both limits, the service's and one address's: the second binds only
// when the first is higher (all of a test's connections come from one
// address).
class ConnectionLimit : public ::testing::TestWithParam<bool> {};

TEST_P(ConnectionLimit, ConnectionsPastTheLimitAreClosedAndRoomComesBack) {
  service::HttpLimits limits;
  limits.maxConnections = GetParam() ? 100 : 3;
  limits.maxConnectionsPerAddress = GetParam() ? 3 : 100;
  LimitedService running(limits);
  ASSERT_GT(running.port(), 0);
  std::vector<std::unique_ptr<Socket>> held;
  for (int i = 0; i < 3; ++i) {
    held.push_back(std::make_unique<Socket>(running.port()));
    // Each is served, so it is surely counted before the next one.
    ASSERT_TRUE(held.back()->Send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(StatusOf(held.back()->ReadSome()), 200) << "connection " << i;
  }
  Socket over(running.port());
  ASSERT_TRUE(over.connected());  // the kernel accepts; the service closes it
  over.Send("GET /healthz HTTP/1.1\r\nHost: x\r\n\r\n");
  EXPECT_EQ(over.ReadToClose(), "");

  held.pop_back();
  // The freed room is counted once the service sees the close: a new
  // connection is served within a few tries.
  bool served = false;
  for (int attempt = 0; attempt < 50 && !served; ++attempt) {
    Socket next(running.port());
    next.Send("GET /healthz HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    served = StatusOf(next.ReadToClose()) == 200;
    if (!served) std::this_thread::sleep_for(20ms);
  }
  EXPECT_TRUE(served);
}

INSTANTIATE_TEST_SUITE_P(ServiceOrAddress, ConnectionLimit, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "PerAddress" : "Service";
                         });

}  // namespace
}  // namespace zarnel::serverkit
