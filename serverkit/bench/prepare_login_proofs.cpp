// Issues COUNT login challenges at a running service and signs a proof
// for each with the tests' device keys, so that a load generator can then
// replay verifications only: one JSON body a line in OUTPUT, each for its
// own session, each to be sent once.
//
//   prepare_login_proofs PORT COUNT OUTPUT [DEVICES=16]
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "signed_answers.h"

namespace {

using namespace zarnel::serverkit;
using nlohmann::json;
using testing::Unhex;

bool Prepare(int port, int first, int count, const std::vector<testing::TestDeviceKey>& devices,
             std::vector<std::string>& bodies) {
  httplib::Client client("127.0.0.1", port);
  client.set_keep_alive(true);
  // httplib writes a request in two pieces: without this, Nagle and the
  // delayed ACK hold each call for 40 ms.
  client.set_tcp_nodelay(true);
  for (int i = first; i < first + count; ++i) {
    const std::string session = "bench-" + std::to_string(i);
    const httplib::Result issued =
        client.Post("/v1/login-challenges", json{{"session", session}}.dump(), "application/json");
    if (!issued || issued->status != 200) {
      std::fprintf(stderr, "prepare_login_proofs: issuing %d failed\n", i);
      return false;
    }
    const json c = json::parse(issued->body)["challenge"];
    const Challenge challenge{static_cast<std::uint16_t>(c["version"].get<int>()),
                              c["build"].get<std::uint32_t>(), Unhex(c["id"].get<std::string>()),
                              Unhex(c["nonce"].get<std::string>())};
    const LoginAnswer answer =
        testing::SignLoginAnswer(devices[static_cast<std::size_t>(i) % devices.size()], challenge);
    bodies[static_cast<std::size_t>(i)] = testing::LoginProofBody(session, answer).dump();
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: prepare_login_proofs PORT COUNT OUTPUT [DEVICES=16]\n");
    return 2;
  }
  const int port = std::atoi(argv[1]);
  const int count = std::atoi(argv[2]);
  const int deviceCount = argc > 4 ? std::atoi(argv[4]) : 16;
  if (port <= 0 || count <= 0 || deviceCount <= 0) return 2;
  std::vector<testing::TestDeviceKey> devices;
  for (int i = 0; i < deviceCount; ++i) devices.push_back(testing::MakeTestDeviceKey());

  std::vector<std::string> bodies(static_cast<std::size_t>(count));
  const int threads = 4;
  std::vector<std::thread> workers;
  std::vector<char> ok(threads, 0);
  for (int t = 0; t < threads; ++t) {
    const int first = count * t / threads;
    const int last = count * (t + 1) / threads;
    workers.emplace_back([&, t, first, last] {
      ok[static_cast<std::size_t>(t)] = Prepare(port, first, last - first, devices, bodies);
    });
  }
  for (std::thread& worker : workers) worker.join();
  for (const char done : ok) {
    if (!done) return 1;
  }
  std::ofstream output(argv[3]);
  for (const std::string& body : bodies) output << body << "\n";
  std::printf("prepared=%d\n", count);
  return output ? 0 : 1;
}
