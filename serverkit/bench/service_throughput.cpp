// The verification service under load: CLIENTS concurrent clients, each on
// its own keep-alive connection, repeat the login round trip (issue a
// challenge, sign it as the guard would, send the proof) for SECONDS.
//
//   service_throughput memory|redis [CLIENTS=64] [SECONDS=10]
//
// Round trips per second count completed, accepted issue+verify pairs. The
// latency of a round trip is the time of its two HTTP calls; the client's
// own signing between them is left out, though it takes CPU from the same
// machine. With redis, a redis-server is started on a free local port.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "http_service.h"
#include "memory_challenge_store.h"
#include "redis_challenge_store.h"
#include "redis_server.h"
#include "signed_answers.h"

namespace {

using namespace zarnel::serverkit;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

struct ClientResult {
  std::vector<double> latenciesMs;
  long failures = 0;
};

// Counted, and the first few shown: a failure is a finding, not noise.
void Fail(ClientResult& result, const httplib::Result& reply) {
  if (++result.failures <= 3) {
    if (reply) {
      std::fprintf(stderr, "service_throughput: status %d: %s", reply->status, reply->body.c_str());
    } else {
      std::fprintf(stderr, "service_throughput: %s\n", httplib::to_string(reply.error()).c_str());
    }
  }
}

void RunClient(int port, int index, Clock::time_point start, Clock::time_point end,
               ClientResult& result) {
  const testing::TestDeviceKey device = testing::MakeTestDeviceKey();
  const std::string session = "bench-" + std::to_string(index);
  httplib::Client client("127.0.0.1", port);
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);  // else Nagle holds the body back for a delayed ACK
  client.set_read_timeout(10, 0);
  while (Clock::now() < start) std::this_thread::yield();
  while (Clock::now() < end) {
    const auto t0 = Clock::now();
    auto issued = client.Post("/v1/login-challenges", json{{"session", session}}.dump(),
                              "application/json");
    const auto t1 = Clock::now();
    if (!issued || issued->status != 200) {
      Fail(result, issued);
      continue;
    }
    const json c = json::parse(issued->body)["challenge"];
    const Challenge challenge{2, c["build"].get<std::uint32_t>(),
                              testing::Unhex(c["id"].get<std::string>()),
                              testing::Unhex(c["nonce"].get<std::string>())};
    const LoginAnswer answer = testing::SignLoginAnswer(device, challenge);
    const json proof = {{"session", session},
                        {"challenge_id", testing::Hex(answer.challengeId)},
                        {"login_name", answer.loginName},
                        {"client_build", answer.clientBuild},
                        {"key_kind", answer.keyKind},
                        {"machine_digest", testing::Hex(answer.machineDigest)},
                        {"public_key", testing::Hex(answer.publicKey)},
                        {"signature", testing::Hex(answer.signature)}};
    const auto t2 = Clock::now();
    auto verified = client.Post("/v1/login-proofs", proof.dump(), "application/json");
    const auto t3 = Clock::now();
    if (!verified || verified->status != 200 || json::parse(verified->body)["ok"] != true) {
      Fail(result, verified);
      continue;
    }
    if (t3 <= end) {
      result.latenciesMs.push_back(
          std::chrono::duration<double, std::milli>((t1 - t0) + (t3 - t2)).count());
    }
  }
}

double Percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1));
  return sorted[index];
}

}  // namespace

int main(int argc, char** argv) {
  const std::string storeName = argc > 1 ? argv[1] : "";
  const int clients = argc > 2 ? std::atoi(argv[2]) : 64;
  const int seconds = argc > 3 ? std::atoi(argv[3]) : 10;
  if ((storeName != "memory" && storeName != "redis") || clients < 1 || seconds < 1) {
    std::fprintf(stderr, "usage: service_throughput memory|redis [CLIENTS] [SECONDS]\n");
    return 2;
  }

  testing::RedisServer redis;
  std::unique_ptr<ChallengeStore> store;
  if (storeName == "memory") {
    store = std::make_unique<MemoryChallengeStore>();
  } else {
    std::string error;
    if (!redis.Start(error)) {
      std::fprintf(stderr, "service_throughput: %s\n", error.c_str());
      return 1;
    }
    store = std::make_unique<RedisChallengeStore>(
        RedisStoreAddress{"127.0.0.1", redis.port(), "bench", std::chrono::milliseconds(2000)});
  }
  const service::VerificationService service(*store, service::ServicePolicy{});
  service::HttpLimits limits;
  limits.workerThreads = static_cast<std::size_t>(clients) + 8;
  service::HttpService http(service, limits);
  std::string error;
  const int port = http.Bind("127.0.0.1", 0, error);
  if (port < 0) {
    std::fprintf(stderr, "service_throughput: %s\n", error.c_str());
    return 1;
  }
  std::thread server([&http] { http.Run(); });

  const auto start = Clock::now() + std::chrono::milliseconds(500);
  const auto end = start + std::chrono::seconds(seconds);
  std::vector<ClientResult> results(static_cast<std::size_t>(clients));
  std::vector<std::thread> threads;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back(RunClient, port, i, start, end, std::ref(results[static_cast<std::size_t>(i)]));
  }
  for (std::thread& thread : threads) thread.join();
  http.Stop();
  server.join();

  std::vector<double> latencies;
  long failures = 0;
  for (const ClientResult& result : results) {
    latencies.insert(latencies.end(), result.latenciesMs.begin(), result.latenciesMs.end());
    failures += result.failures;
  }
  std::sort(latencies.begin(), latencies.end());
  const char* s = storeName.c_str();
  std::printf("service_%s_clients=%d\n", s, clients);
  std::printf("service_%s_seconds=%d\n", s, seconds);
  std::printf("service_%s_round_trips=%zu\n", s, latencies.size());
  std::printf("service_%s_round_trips_per_second=%.0f\n", s,
              static_cast<double>(latencies.size()) / seconds);
  std::printf("service_%s_p50_ms=%.2f\n", s, Percentile(latencies, 0.50));
  std::printf("service_%s_p99_ms=%.2f\n", s, Percentile(latencies, 0.99));
  std::printf("service_%s_failures=%ld\n", s, failures);
  return failures == 0 ? 0 : 1;
}
