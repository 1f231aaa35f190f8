// Who may call the service: bearer tokens from a file (read again when it
// changes), TLS, and client certificates from the studio's CA. Each case
// runs the real HTTP service on a free local port against a real client.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <httplib.h>
#include <nlohmann/json.hpp>

#include "bearer_tokens.h"
#include "http_service.h"
#include "memory_challenge_store.h"
#include "test_certificates.h"

namespace zarnel::serverkit {
namespace {

using nlohmann::json;
using service::BearerTokens;
using service::HttpAccess;
using testing::CertificateFiles;
using testing::TestPki;

constexpr char kTokenA[] = "token-a-0123456789abcdef";
constexpr char kTokenB[] = "token-b-0123456789abcdef";
constexpr char kTokenC[] = "token-c-0123456789abcdef";
constexpr char kIssue[] = "/v1/login-challenges";
constexpr char kSession[] = R"({"session":"s1"})";

// The service on a free port with `access`, its log kept for the test.
class RunningService {
 public:
  explicit RunningService(HttpAccess access)
      : service_(store_, {}, [] { return Accept(); }, Log()),
        http_(service_, {}, std::move(access), Log()) {
    port_ = http_.Bind("127.0.0.1", 0, error_);
    if (port_ > 0) thread_ = std::thread([this] { http_.Run(); });
  }
  ~RunningService() {
    http_.Stop();
    if (thread_.joinable()) thread_.join();
  }

  int port() const { return port_; }
  const std::string& error() const { return error_; }
  std::vector<std::string> log() const {
    std::lock_guard<std::mutex> lock(log_->mutex);
    return log_->lines;
  }

 private:
  struct LogLines {
    std::mutex mutex;
    std::vector<std::string> lines;
  };
  service::ServiceLog Log() {
    return [log = log_](const std::string& line) {
      std::lock_guard<std::mutex> lock(log->mutex);
      log->lines.push_back(line);
    };
  }

  std::shared_ptr<LogLines> log_ = std::make_shared<LogLines>();
  MemoryChallengeStore store_;
  service::VerificationService service_;
  service::HttpService http_;
  std::string error_;
  int port_ = -1;
  std::thread thread_;
};

struct Answer {
  bool connected = false;
  int status = 0;
  json body;
  std::string wwwAuthenticate;
};

Answer Read(const httplib::Result& result) {
  Answer answer;
  if (!result) return answer;
  answer.connected = true;
  answer.status = result->status;
  answer.body = json::parse(result->body, nullptr, false);
  answer.wwwAuthenticate = result->get_header_value("WWW-Authenticate");
  return answer;
}

// httplib's Client and SSLClient share no base with Post.
template <class Client>
Answer Post(Client& client, const httplib::Headers& headers = {}) {
  return Read(client.Post(kIssue, headers, kSession, "application/json"));
}

class TokenFile {
 public:
  TokenFile() {
    char folder[] = "/tmp/zarnel-tokens-XXXXXX";
    dir_ = mkdtemp(folder) != nullptr ? folder : "";
    path_ = dir_ + "/tokens";
  }
  ~TokenFile() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  // Written beside and renamed into place, as an operator's tooling (or a
  // secret manager) replaces a file.
  void Write(const std::string& text) {
    const std::string next = path_ + ".next";
    std::ofstream(next, std::ios::binary) << text;
    std::filesystem::rename(next, path_);
  }
  const std::string& path() const { return path_; }

 private:
  std::string dir_;
  std::string path_;
};

// Calls need a token of `file`, loaded as serve loads it.
HttpAccess TokenAccess(const TokenFile& file) {
  HttpAccess access;
  access.tokens = std::make_shared<BearerTokens>();
  std::string error;
  EXPECT_TRUE(access.tokens->Load(file.path(), error)) << error;
  return access;
}

httplib::Headers Bearer(const std::string& token) {
  return {{"Authorization", "Bearer " + token}};
}

TEST(BearerTokenFile, ReadsOneTokenALineAndRefusesWhatIsNotOne) {
  struct Case {
    const char* name;
    std::string text;
    bool ok;
    std::size_t tokens;
  };
  const Case cases[] = {
      {"two tokens", std::string(kTokenA) + "\n" + kTokenB + "\n", true, 2},
      {"comments, blanks, CRLF, no final newline",
       std::string("# rotated 2026-12\n\n  ") + kTokenA + "\r\n" + kTokenB, true, 2},
      {"too short", "short-token\n", false, 0},
      {"blank inside", "token with blanks 0123456789\n", false, 0},
      {"control byte", std::string("token\x01-0123456789abcdef"), false, 0},
      {"only comments", "# none yet\n\n", false, 0},
      {"empty", "", false, 0},
  };
  for (const Case& c : cases) {
    service::TokenSet tokens;
    std::string error;
    EXPECT_EQ(service::ParseTokenText(c.text, tokens, error), c.ok) << c.name << ": " << error;
    if (c.ok) {
      EXPECT_EQ(tokens.digests.size(), c.tokens) << c.name;
    } else {
      // The refusal names the line, never its text.
      EXPECT_EQ(error.find("0123456789"), std::string::npos) << c.name << ": " << error;
    }
  }
}

TEST(BearerTokens, EveryCallButTheHealthProbeNeedsAKnownToken) {
  TokenFile file;
  file.Write(std::string(kTokenA) + "\n" + kTokenB + "\n");
  RunningService running(TokenAccess(file));
  ASSERT_GT(running.port(), 0) << running.error();
  httplib::Client client("127.0.0.1", running.port());

  struct Case {
    const char* name;
    httplib::Headers headers;
    int status;
  };
  const Case cases[] = {
      {"no Authorization", {}, 401},
      {"another scheme", {{"Authorization", std::string("Basic ") + kTokenA}}, 401},
      {"an unknown token", Bearer(kTokenC), 401},
      {"a known token's prefix", Bearer(std::string(kTokenA).substr(0, 20)), 401},
      {"the known token with a byte more", Bearer(std::string(kTokenA) + "x"), 401},
      {"the first token", Bearer(kTokenA), 200},
      {"the second token", Bearer(kTokenB), 200},
      {"the scheme in lower case", {{"Authorization", std::string("bearer ") + kTokenA}}, 200},
  };
  for (const Case& c : cases) {
    const Answer answer = Post(client, c.headers);
    ASSERT_TRUE(answer.connected) << c.name;
    EXPECT_EQ(answer.status, c.status) << c.name << ": " << answer.body.dump();
    if (c.status == 401) {
      EXPECT_EQ(answer.body.value("check", ""), "unauthenticated") << c.name;
      EXPECT_EQ(answer.wwwAuthenticate, "Bearer") << c.name;
    } else {
      EXPECT_EQ(answer.body.value("check", ""), "ok") << c.name;
    }
  }
  const Answer health = Read(client.Get("/healthz"));
  EXPECT_EQ(health.status, 200);
  for (const std::string& line : running.log()) {
    EXPECT_EQ(line.find("0123456789abcdef"), std::string::npos) << line;
  }
}

TEST(BearerTokens, ARotatedFileTakesEffectWithoutARestartAndABadOneIsNotTaken) {
  TokenFile file;
  file.Write(std::string(kTokenA) + "\n");
  RunningService running(TokenAccess(file));
  ASSERT_GT(running.port(), 0) << running.error();
  httplib::Client client("127.0.0.1", running.port());

  struct Step {
    const char* name;
    std::optional<std::string> file;  // written before the calls
    std::vector<std::pair<const char*, int>> calls;
  };
  const Step steps[] = {
      {"the first token alone", std::nullopt, {{kTokenA, 200}, {kTokenB, 401}}},
      {"both during the roll-out", std::string(kTokenA) + "\n" + kTokenB + "\n",
       {{kTokenA, 200}, {kTokenB, 200}}},
      {"the old one removed", std::string(kTokenB) + "\n", {{kTokenA, 401}, {kTokenB, 200}}},
      // A file cut short mid-write or mistyped must not lock every backend
      // out: the tokens read before stay.
      {"a bad file", std::string("oops\n"), {{kTokenA, 401}, {kTokenB, 200}, {kTokenC, 401}}},
      {"the next good file", std::string(kTokenC) + "\n", {{kTokenB, 401}, {kTokenC, 200}}},
  };
  for (const Step& step : steps) {
    if (step.file) file.Write(*step.file);
    for (const auto& [token, status] : step.calls) {
      const Answer answer = Post(client, Bearer(token));
      EXPECT_EQ(answer.status, status) << step.name << ", token " << token;
    }
  }
  const std::vector<std::string> log = running.log();
  const auto mentions = [&log](const std::string& text) {
    std::size_t count = 0;
    for (const std::string& line : log) count += line.find(text) != std::string::npos;
    return count;
  };
  EXPECT_EQ(mentions("was read again"), 3u);
  // The bad file is reported once, however many calls saw it.
  EXPECT_EQ(mentions("was not used"), 1u);
}

// A client for the TLS service: it trusts `ca` and, when given, presents
// `certificate`.
std::unique_ptr<httplib::SSLClient> TlsClient(int port, const std::string& ca,
                                              const CertificateFiles* certificate) {
  // A refused handshake leaves httplib's client writing through OpenSSL
  // to a closed socket: without this, that write's SIGPIPE ends the whole
  // test program.
  std::signal(SIGPIPE, SIG_IGN);
  auto client = certificate != nullptr
                    ? std::make_unique<httplib::SSLClient>("127.0.0.1", port,
                                                           certificate->certificate,
                                                           certificate->key)
                    : std::make_unique<httplib::SSLClient>("127.0.0.1", port);
  client->set_ca_cert_path(ca.c_str());
  client->enable_server_certificate_verification(true);
  client->set_connection_timeout(5, 0);
  client->set_read_timeout(5, 0);
  return client;
}

TEST(TlsAccess, ServesTlsAndRefusesPlainHttp) {
  TestPki studio("studio CA");
  ASSERT_TRUE(studio.ok());
  const CertificateFiles server = studio.Server();
  HttpAccess access;
  access.tls = service::TlsFiles{server.certificate, server.key, ""};
  RunningService running(access);
  ASSERT_GT(running.port(), 0) << running.error();

  const Answer tls = Post(*TlsClient(running.port(), studio.caFile(), nullptr));
  EXPECT_EQ(tls.status, 200) << tls.body.dump();
  httplib::Client plain("127.0.0.1", running.port());
  plain.set_read_timeout(5, 0);
  const Answer answer = Post(plain);
  EXPECT_FALSE(answer.connected && answer.status == 200);
}

TEST(TlsAccess, CallsNeedAClientCertificateFromTheStudiosCa) {
  TestPki studio("studio CA");
  TestPki stranger("someone else's CA");
  ASSERT_TRUE(studio.ok() && stranger.ok());
  const CertificateFiles server = studio.Server();
  const CertificateFiles backend = studio.Client("login-backend-1");
  const CertificateFiles outsider = stranger.Client("login-backend-1");
  HttpAccess access;
  access.tls = service::TlsFiles{server.certificate, server.key, studio.caFile()};
  RunningService running(access);
  ASSERT_GT(running.port(), 0) << running.error();

  struct Case {
    const char* name;
    const CertificateFiles* certificate;
    bool connects;
    int status;
  };
  const Case cases[] = {
      {"no certificate", nullptr, true, 401},
      // The handshake itself fails: nothing is read from such a caller.
      {"a certificate of another CA", &outsider, false, 0},
      {"a certificate of the studio's CA", &backend, true, 200},
  };
  for (const Case& c : cases) {
    const Answer answer = Post(*TlsClient(running.port(), studio.caFile(), c.certificate));
    EXPECT_EQ(answer.connected, c.connects) << c.name;
    if (!c.connects) continue;
    EXPECT_EQ(answer.status, c.status) << c.name << ": " << answer.body.dump();
    if (c.status == 401) {
      EXPECT_EQ(answer.body.value("check", ""), "unauthenticated") << c.name;
    }
  }
  // Load balancers probe without a certificate.
  const Answer health = Read(TlsClient(running.port(), studio.caFile(), nullptr)->Get("/healthz"));
  EXPECT_EQ(health.status, 200);
}

TEST(TlsAccess, WithCertificatesAndTokensACallNeedsBoth) {
  TestPki studio("studio CA");
  ASSERT_TRUE(studio.ok());
  const CertificateFiles server = studio.Server();
  const CertificateFiles backend = studio.Client("login-backend-2");
  TokenFile file;
  file.Write(std::string(kTokenA) + "\n");
  HttpAccess access = TokenAccess(file);
  access.tls = service::TlsFiles{server.certificate, server.key, studio.caFile()};
  RunningService running(access);
  ASSERT_GT(running.port(), 0) << running.error();

  EXPECT_EQ(Post(*TlsClient(running.port(), studio.caFile(), nullptr), Bearer(kTokenA)).status,
            401);
  EXPECT_EQ(Post(*TlsClient(running.port(), studio.caFile(), &backend)).status, 401);
  EXPECT_EQ(Post(*TlsClient(running.port(), studio.caFile(), &backend), Bearer(kTokenA)).status,
            200);
}

TEST(TlsAccess, BindRefusesAKeyThatIsNotTheCertificates) {
  TestPki studio("studio CA");
  ASSERT_TRUE(studio.ok());
  const CertificateFiles server = studio.Server();
  const CertificateFiles other = studio.Client("other");
  struct Case {
    const char* name;
    service::TlsFiles files;
    std::string names;  // the file the error must name
  };
  const Case cases[] = {
      {"mismatched key", {server.certificate, other.key, ""}, other.key},
      {"missing certificate", {server.certificate + ".missing", server.key, ""}, ".missing"},
      {"missing client CA", {server.certificate, server.key, "/nonexistent/ca.pem"},
       "/nonexistent/ca.pem"},
  };
  for (const Case& c : cases) {
    HttpAccess access;
    access.tls = c.files;
    RunningService running(access);
    EXPECT_EQ(running.port(), -1) << c.name;
    EXPECT_NE(running.error().find(c.names), std::string::npos) << c.name << ": " << running.error();
  }
}

}  // namespace
}  // namespace zarnel::serverkit
