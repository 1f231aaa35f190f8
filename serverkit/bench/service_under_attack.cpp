// `zarnel-verify serve` under hostile load. The real binary runs as a child
// process; one honest client does login round trips (issue, sign as the
// guard would, verify), one every HONEST_INTERVAL_MS, on one keep-alive
// connection while, phase by phase,
// an attacker from another loopback address (127.0.0.2, so that the
// service sees two callers) does one thing to it:
//
//   alone            nothing: the honest client's reference latency
//   idle             IDLE connections opened and never written to
//   slow-headers     SLOW connections, each sending one header line every
//                    1 to 3 s and connecting again when cut off
//   header-flood     FLOOD_MB of header bytes, as fast as FLOOD_CONNECTIONS
//                    parallel connections take them; each connection runs
//                    until the service cuts it off
//   challenges-one   login challenges issued as fast as CHALLENGE_CONNECTIONS
//                    pipelined connections can ask, all for one session
//   challenges-many  the same, each for a session of its own
//   alone-after      nothing again: does the service come back?
//
// For each phase: the honest client's round trips, p50 and p99 and the p99
// against the one alone, its failures by check name; the service's
// resident memory (VmRSS) before, at its peak during, and after the attack
// connections closed; and the CPU used by the service, the attacker and
// the honest client. Client and service share the machine's cores, so an
// attacker's CPU is taken from the service too: the shares say how much.
//
//   service_under_attack memory|redis [--seconds 15] [--idle 1000] [--slow 64]
//       [--flood-mb 100] [--flood-connections 8] [--challenge-connections 4]
//       [--honest-interval-ms 5] [--serve PATH] [-- SERVE_OPTIONS...]
//
// Writes key=value lines, then the phases as a markdown table.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include "redis_server.h"
#include "signed_answers.h"

namespace {

using namespace zarnel::serverkit;
using Clock = std::chrono::steady_clock;
using nlohmann::json;

constexpr const char* kAttackerAddress = "127.0.0.2";

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// CPU seconds of the threads of one side (the attacker, the honest
// client), each added when its thread ends.
struct CpuMeter {
  std::mutex mutex;
  double seconds = 0;
  void AddThisThread() {
    const double used = ThreadCpuSeconds();
    std::lock_guard<std::mutex> lock(mutex);
    seconds += used;
  }
};

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// ---------------------------------------------------------------- the service process

struct ProcStatus {
  double rssMb = 0;
  double hwmMb = 0;
  long threads = 0;
};

bool ReadStatus(pid_t pid, ProcStatus& out) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  if (!file) return false;
  std::string line;
  while (std::getline(file, line)) {
    const auto kib = [&line] { return std::atof(line.c_str() + line.find(':') + 1) / 1024.0; };
    if (line.rfind("VmRSS:", 0) == 0) out.rssMb = kib();
    if (line.rfind("VmHWM:", 0) == 0) out.hwmMb = kib();
    if (line.rfind("Threads:", 0) == 0) out.threads = std::atol(line.c_str() + 8);
  }
  return true;
}

// utime + stime of the whole process.
double ChildCpuSeconds(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  double ticks = 0;
  // After the name: state is field 3; utime and stime are fields 14 and 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index >= 14) ticks += std::atof(field.c_str());
  }
  return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

int CountDescriptors(pid_t pid) {
  DIR* dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
  if (dir == nullptr) return -1;
  int count = 0;
  while (readdir(dir) != nullptr) ++count;
  closedir(dir);
  return count - 2;
}

// Its standard output carries the address it listens on, then its log,
// one JSON line per request and event: read to the end as a log shipper
// would, since a full pipe would block the log's writer. Its standard
// error goes to a file.
struct ServeProcess {
  pid_t pid = -1;
  int port = -1;
  int output = -1;
  std::string logPath;
  std::thread reader;
  long logLines = 0;
  // Lines at level warn or error: each one is a finding.
  long logWarnings = 0;
  std::vector<std::string> firstWarnings;

  void CountLogLine(const std::string& line) {
    ++logLines;
    if (line.find("\"level\":\"warn\"") != std::string::npos ||
        line.find("\"level\":\"error\"") != std::string::npos) {
      if (++logWarnings <= 5) firstWarnings.push_back(line);
    }
  }

  void ReadLog(std::string pending) {
    char chunk[65536];
    for (;;) {
      std::size_t end;
      while ((end = pending.find('\n')) != std::string::npos) {
        CountLogLine(pending.substr(0, end));
        pending.erase(0, end + 1);
      }
      const ssize_t n = read(output, chunk, sizeof chunk);
      if (n <= 0) break;
      pending.append(chunk, static_cast<std::size_t>(n));
    }
    if (!pending.empty()) CountLogLine(pending);
  }

  bool Start(const std::string& path, const std::vector<std::string>& options, std::string& error) {
    char logTemplate[] = "/tmp/service_under_attack_log_XXXXXX";
    const int log = mkstemp(logTemplate);
    if (log < 0) {
      error = "cannot make a log file";
      return false;
    }
    logPath = logTemplate;
    int ends[2];
    if (pipe(ends) != 0) {
      error = "pipe failed";
      return false;
    }
    std::vector<std::string> arguments = {path, "serve", "--listen", "127.0.0.1:0"};
    arguments.insert(arguments.end(), options.begin(), options.end());
    pid = fork();
    if (pid == 0) {
      // A benchmark that dies must not leave a service behind.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      dup2(ends[1], STDOUT_FILENO);
      dup2(log, STDERR_FILENO);
      close(ends[0]);
      close(ends[1]);
      close(log);
      std::vector<char*> argv;
      for (std::string& argument : arguments) argv.push_back(argument.data());
      argv.push_back(nullptr);
      execv(path.c_str(), argv.data());
      _exit(127);
    }
    close(ends[1]);
    close(log);
    output = ends[0];
    // One line: {"listening":"127.0.0.1:PORT"}.
    std::string line;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (line.find('\n') == std::string::npos && Clock::now() < deadline) {
      pollfd ready{output, POLLIN, 0};
      if (poll(&ready, 1, 100) <= 0) continue;
      char chunk[256];
      const ssize_t n = read(output, chunk, sizeof chunk);
      if (n <= 0) break;
      line.append(chunk, static_cast<std::size_t>(n));
    }
    try {
      const std::string address = json::parse(line.substr(0, line.find('\n')))["listening"];
      port = std::stoi(address.substr(address.rfind(':') + 1));
    } catch (const std::exception&) {
      error = "the service did not say where it listens (" + line + "); its log: " + logPath;
      return false;
    }
    reader = std::thread(&ServeProcess::ReadLog, this, line.substr(line.find('\n') + 1));
    return true;
  }

  // Still running: false once it has ended, with `status` its wait status.
  bool Running(int& status) const { return waitpid(pid, &status, WNOHANG) == 0; }

  // SIGTERM, then its exit code (128 + signal when killed) and how long
  // it took to end; it may serve on for its drain time first.
  int Stop(double& seconds) {
    const auto start = Clock::now();
    kill(pid, SIGTERM);
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (Clock::now() - start > std::chrono::seconds(60)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    seconds = SecondsBetween(start, Clock::now());
    reader.join();
    close(output);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
};

// The service's peaks while a phase runs, sampled every 20 ms (the
// descriptor count, a directory walk, every 200 ms).
class Sampler {
 public:
  void Start(pid_t pid) {
    pid_ = pid;
    stop_ = false;
    thread_ = std::thread([this] {
      for (int round = 0; !stop_; ++round) {
        ProcStatus status;
        if (ReadStatus(pid_, status)) {
          peakRssMb = std::max(peakRssMb, status.rssMb);
          peakThreads = std::max(peakThreads, status.threads);
        }
        if (round % 10 == 0) peakDescriptors = std::max(peakDescriptors, CountDescriptors(pid_));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  void Stop() {
    stop_ = true;
    thread_.join();
  }

  double peakRssMb = 0;
  long peakThreads = 0;
  int peakDescriptors = 0;

 private:
  pid_t pid_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// ---------------------------------------------------------------- sockets

// A blocking TCP connection to the service, from `source` when given.
int Connect(int port, const char* source, std::string* error = nullptr) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    if (error) *error = std::strerror(errno);
    return -1;
  }
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (source != nullptr) {
    // The port is chosen at connect, so that many connections from one
    // source address do not exhaust the ports bind would reserve.
    setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, source, &local.sin_addr);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      if (error) *error = std::string("bind: ") + std::strerror(errno);
      close(fd);
      return -1;
    }
  }
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<std::uint16_t>(port));
  inet_pton(AF_INET, "127.0.0.1", &remote.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
    if (error) *error = std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

void SetTimeout(int fd, int option, int milliseconds) {
  timeval timeout{milliseconds / 1000, (milliseconds % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, option, &timeout, sizeof timeout);
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Reads one HTTP response (the service always sends Content-Length) off a
// connection that may carry more behind it.
bool ReadResponse(int fd, std::string& pending, int& status, std::string& body) {
  for (;;) {
    const std::size_t headerEnd = pending.find("\r\n\r\n");
    if (headerEnd != std::string::npos) {
      status = std::atoi(pending.c_str() + 9);
      std::size_t length = 0;
      const std::size_t field = pending.find("Content-Length: ");
      if (field != std::string::npos && field < headerEnd) {
        length = std::strtoul(pending.c_str() + field + 16, nullptr, 10);
      }
      if (pending.size() >= headerEnd + 4 + length) {
        body = pending.substr(headerEnd + 4, length);
        pending.erase(0, headerEnd + 4 + length);
        return true;
      }
    }
    char chunk[16384];
    const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    pending.append(chunk, static_cast<std::size_t>(n));
  }
}

// The check an answer names: "ok" for an accepted call.
std::string CheckOf(int status, const std::string& body) {
  const std::size_t at = body.find("\"check\":\"");
  if (at == std::string::npos) return "http-" + std::to_string(status);
  const std::size_t start = at + 9;
  return body.substr(start, body.find('"', start) - start);
}

// ---------------------------------------------------------------- the honest client

struct HonestResult {
  std::vector<double> latenciesMs;
  std::vector<Clock::time_point> startedAt;  // of each round trip in latenciesMs
  std::map<std::string, long> failures;
  long failureCount = 0;
};

std::string FailureName(const httplib::Result& reply) {
  if (!reply) return "transport: " + httplib::to_string(reply.error());
  return CheckOf(reply->status, reply->body);
}

// Login round trips on one keep-alive connection until `stop`, a session
// of its own for each, one every `interval` (at once after a late one); a
// round trip's latency is its two calls, the client's own signing between
// them left out. Paced rather than back to back, like a backend's logins:
// its own load stays small beside the attack's, and so do the challenges
// it leaves remembered in the store.
void RunHonest(int port, const std::string& tag, std::chrono::microseconds interval,
               const std::atomic<bool>& stop, HonestResult& result, CpuMeter& cpu) {
  const testing::TestDeviceKey device = testing::MakeTestDeviceKey();
  httplib::Client client("127.0.0.1", port);
  client.set_keep_alive(true);
  client.set_tcp_nodelay(true);
  client.set_connection_timeout(10, 0);
  // Long, so that a stalled service shows as latency rather than as a
  // client giving up.
  client.set_read_timeout(60, 0);
  client.set_write_timeout(60, 0);
  auto fail = [&result](const std::string& name) {
    ++result.failures[name];
    ++result.failureCount;
  };
  auto due = Clock::now();
  for (long round = 0; !stop; ++round) {
    std::this_thread::sleep_until(due);
    due = std::max(due + interval, Clock::now());
    const std::string session = "honest-" + tag + "-" + std::to_string(round);
    const auto t0 = Clock::now();
    auto issued = client.Post("/v1/login-challenges", json{{"session", session}}.dump(),
                              "application/json");
    const auto t1 = Clock::now();
    if (!issued || issued->status != 200) {
      fail(FailureName(issued));
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
    if (!verified || verified->status != 200 || CheckOf(verified->status, verified->body) != "ok") {
      fail(FailureName(verified));
      continue;
    }
    result.latenciesMs.push_back(
        std::chrono::duration<double, std::milli>((t1 - t0) + (t3 - t2)).count());
    result.startedAt.push_back(t0);
  }
  cpu.AddThisThread();
}

// ---------------------------------------------------------------- the attacks

// Connections opened and never written to; at the end, how many the
// service still held open.
struct IdleResult {
  int wanted = 0;
  int connected = 0;
  int failed = 0;
  int openAtEnd = 0;
  double openSeconds = 0;
  std::string firstError;
};

void RunIdle(int port, const std::atomic<bool>& stop, IdleResult& result, CpuMeter& cpu) {
  std::vector<int> fds;
  const auto start = Clock::now();
  for (int i = 0; i < result.wanted && !stop; ++i) {
    std::string error;
    const int fd = Connect(port, kAttackerAddress, &error);
    if (fd < 0) {
      if (result.failed++ == 0) result.firstError = error;
      continue;
    }
    fds.push_back(fd);
  }
  result.connected = static_cast<int>(fds.size());
  result.openSeconds = SecondsBetween(start, Clock::now());
  while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  for (const int fd : fds) {
    // Closed by the service: end of stream (or a reset) is readable.
    pollfd state{fd, POLLIN | POLLRDHUP, 0};
    if (poll(&state, 1, 0) == 0) ++result.openAtEnd;
    close(fd);
  }
  cpu.AddThisThread();
}

// Connections that send a request line, then one header line every 1 to
// 3 s, and connect again when the service cuts them off.
struct SlowResult {
  int wanted = 0;
  int opened = 0;
  int connectFailures = 0;
  int cutOff = 0;
  long lines = 0;
  long replyBytes = 0;
  std::vector<double> cutAfterSeconds;  // from a connection's first byte
  int mostLinesBeforeCut = 0;
};

void RunSlowHeaders(int port, const std::atomic<bool>& stop, SlowResult& result, CpuMeter& cpu) {
  struct Slow {
    int fd = -1;
    Clock::time_point firstByte;
    Clock::time_point nextLine;
    int lines = 0;
  };
  std::mt19937 random(7);
  std::uniform_int_distribution<int> interval(1000, 3000);
  auto open = [&](Slow& slow) {
    slow = Slow{};
    slow.fd = Connect(port, kAttackerAddress);
    if (slow.fd < 0) {
      ++result.connectFailures;
      slow.nextLine = Clock::now() + std::chrono::milliseconds(100);  // try again then
      return;
    }
    ++result.opened;
    slow.firstByte = Clock::now();
    SendAll(slow.fd, "POST /v1/login-challenges HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    slow.nextLine = slow.firstByte + std::chrono::milliseconds(interval(random));
  };
  auto cut = [&](Slow& slow) {
    ++result.cutOff;
    result.cutAfterSeconds.push_back(SecondsBetween(slow.firstByte, Clock::now()));
    result.mostLinesBeforeCut = std::max(result.mostLinesBeforeCut, slow.lines);
    close(slow.fd);
    open(slow);
  };
  std::vector<Slow> slows(static_cast<std::size_t>(result.wanted));
  for (Slow& slow : slows) open(slow);
  std::vector<pollfd> states(slows.size());
  while (!stop) {
    for (std::size_t i = 0; i < slows.size(); ++i) states[i] = {slows[i].fd, POLLIN | POLLRDHUP, 0};
    poll(states.data(), states.size(), 20);
    const auto now = Clock::now();
    for (std::size_t i = 0; i < slows.size(); ++i) {
      Slow& slow = slows[i];
      if (slow.fd < 0) {
        if (now >= slow.nextLine) open(slow);
        continue;
      }
      if (states[i].revents != 0) {
        char chunk[4096];
        const ssize_t n = recv(slow.fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) result.replyBytes += n;
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) ||
            (states[i].revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
          cut(slow);
          continue;
        }
      }
      if (now >= slow.nextLine) {
        const std::string line =
            "X-Slow-" + std::to_string(slow.lines) + ": " + std::to_string(slow.lines) + "\r\n";
        if (!SendAll(slow.fd, line)) {
          cut(slow);
          continue;
        }
        ++slow.lines;
        ++result.lines;
        slow.nextLine = now + std::chrono::milliseconds(interval(random));
      }
    }
  }
  for (Slow& slow : slows) {
    if (slow.fd >= 0) close(slow.fd);
  }
  cpu.AddThisThread();
}

// Header bytes as fast as the connections take them, each connection
// until the service cuts it off, until `targetBytes` in all.
struct FloodResult {
  long long targetBytes = 0;
  std::atomic<long long> bytesSent{0};
  std::mutex mutex;
  int connections = 0;
  int connectFailures = 0;
  int refusedWith431 = 0;  // the service's answer was read
  int reset = 0;           // cut off with a reset before its answer could be read
  int closed = 0;          // cut off with an end of stream and no answer
  int stalled = 0;         // neither read nor closed for 5 s
  long long mostBytesOnOne = 0;
  std::vector<double> cutAfterMs;  // from connect to the failed send
  bool done = false;
};

void RunHeaderFlood(int port, int parallel, const std::atomic<bool>& stop, FloodResult& result,
                    CpuMeter& cpu) {
  std::string block;
  for (int i = 0; block.size() < 64 * 1024; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "X-Flood-%05d: ", i);
    block += name + std::string(1000, 'a') + "\r\n";
  }
  auto flood = [&] {
    while (!stop && result.bytesSent < result.targetBytes) {
      const auto opened = Clock::now();
      const int fd = Connect(port, kAttackerAddress);
      if (fd < 0) {
        std::lock_guard<std::mutex> lock(result.mutex);
        ++result.connectFailures;
        continue;
      }
      SetTimeout(fd, SO_SNDTIMEO, 5000);
      SetTimeout(fd, SO_RCVTIMEO, 1000);
      // A small send buffer: the bytes counted are then those the service's
      // side took, not megabytes parked in this side's kernel, and the
      // flood spends itself on connections the service must accept,
      // read and refuse.
      const int sendBuffer = 16 * 1024;
      setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
      long long sent = 0;
      bool cut = false;
      bool stalled = false;
      std::string request = "GET /healthz HTTP/1.1\r\nHost: 127.0.0.1\r\n" + block;
      while (!stop && result.bytesSent < result.targetBytes) {
        const ssize_t n = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
        if (n > 0) {
          sent += n;
          result.bytesSent += n;
          request = block;
          continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          stalled = true;
        } else {
          cut = true;
        }
        break;
      }
      const double cutAfterMs = 1000 * SecondsBetween(opened, Clock::now());
      char reply[512] = {};
      const ssize_t n = cut || stalled ? recv(fd, reply, sizeof reply - 1, 0) : -1;
      const int readError = errno;
      close(fd);
      std::lock_guard<std::mutex> lock(result.mutex);
      ++result.connections;
      result.mostBytesOnOne = std::max(result.mostBytesOnOne, sent);
      if (!cut && !stalled) continue;  // the flood ended first
      result.cutAfterMs.push_back(cutAfterMs);
      if (n > 0 && std::strncmp(reply, "HTTP/1.1 431", 12) == 0) {
        ++result.refusedWith431;
      } else if (stalled && n < 0 && (readError == EAGAIN || readError == EWOULDBLOCK)) {
        ++result.stalled;
      } else if (n == 0) {
        ++result.closed;
      } else {
        ++result.reset;
      }
    }
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < parallel; ++i) {
    threads.emplace_back([&] {
      flood();
      cpu.AddThisThread();
    });
  }
  for (std::thread& thread : threads) thread.join();
  result.done = result.bytesSent >= result.targetBytes;
}

// Login challenges asked for as fast as the connections carry them,
// pipelined in batches, for one session or a new session each.
struct ChallengeFloodResult {
  std::mutex mutex;
  long issued = 0;
  std::map<std::string, long> refused;
  long transportFailures = 0;
  int connections = 0;
};

void RunChallengeFlood(int port, int parallel, bool oneSession, const std::atomic<bool>& stop,
                       ChallengeFloodResult& result, CpuMeter& cpu) {
  constexpr int kBatch = 16;
  auto flood = [&](int index) {
    long issued = 0;
    long transport = 0;
    int connections = 0;
    std::map<std::string, long> refused;
    long counter = 0;
    while (!stop) {
      const int fd = Connect(port, kAttackerAddress);
      if (fd < 0) {
        ++transport;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        continue;
      }
      ++connections;
      SetTimeout(fd, SO_RCVTIMEO, 30000);
      std::string pending;
      while (!stop) {
        std::string batch;
        for (int i = 0; i < kBatch; ++i) {
          const std::string session =
              oneSession ? "flood" : "flood-" + std::to_string(index) + "-" + std::to_string(counter++);
          const std::string body = "{\"session\":\"" + session + "\"}";
          batch += "POST /v1/login-challenges HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                   "Content-Type: application/json\r\nContent-Length: " +
                   std::to_string(body.size()) + "\r\n\r\n" + body;
        }
        if (!SendAll(fd, batch)) {
          transport += kBatch;
          break;
        }
        int answered = 0;
        for (int status = 0; answered < kBatch; ++answered) {
          std::string body;
          if (!ReadResponse(fd, pending, status, body)) break;
          const std::string check = CheckOf(status, body);
          if (status == 200 && check == "ok") {
            ++issued;
          } else {
            ++refused[check];
          }
        }
        if (answered < kBatch) {
          transport += kBatch - answered;
          break;
        }
      }
      close(fd);
    }
    std::lock_guard<std::mutex> lock(result.mutex);
    result.issued += issued;
    result.transportFailures += transport;
    result.connections += connections;
    for (const auto& [check, count] : refused) result.refused[check] += count;
  };
  std::vector<std::thread> threads;
  for (int i = 0; i < parallel; ++i) {
    threads.emplace_back([&, i] {
      flood(i);
      cpu.AddThisThread();
    });
  }
  for (std::thread& thread : threads) thread.join();
}

// ---------------------------------------------------------------- phases

double Percentile(const std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1));
  return sorted[index];
}

std::string KeyName(const std::string& text) {
  std::string key;
  for (const char c : text) key += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
  return key;
}

std::string Counts(const std::map<std::string, long>& counts) {
  std::string text;
  for (const auto& [name, count] : counts) {
    text += (text.empty() ? "" : ", ") + name + " " + std::to_string(count);
  }
  return text;
}

struct Redis {
  testing::RedisServer* server = nullptr;
  // INFO's field `name` as a number, or -1.
  double Info(const char* section, const std::string& name) const {
    std::string reply;
    if (server == nullptr || !server->Run({"INFO", section}, reply)) return -1;
    const std::size_t at = reply.find(name + ":");
    return at == std::string::npos ? -1 : std::atof(reply.c_str() + at + name.size() + 1);
  }
  double CpuSeconds() const {
    return Info("cpu", "used_cpu_sys") + Info("cpu", "used_cpu_user");
  }
  double UsedMemoryMb() const { return Info("memory", "used_memory") / 1048576.0; }
};

struct PhaseReport {
  std::string key;
  std::string title;
  double seconds = 0;
  long roundTrips = 0;
  double p50 = 0;
  double p99 = 0;
  double ratio = 0;
  long failures = 0;
  std::string failureText;
  ProcStatus before;
  ProcStatus after;
  double peakRssMb = 0;
  double serverCpu = 0;
  double attackCpu = 0;
  double honestCpu = 0;
  double redisCpu = -1;
  std::string achieved;
};

struct Bench {
  std::string store;
  int port = -1;
  pid_t pid = -1;
  Redis redis;
  unsigned cores = 1;
  double seconds = 15;
  std::chrono::microseconds honestInterval{5000};
  double aloneP99 = 0;
  std::vector<PhaseReport> reports;

  void Key(const std::string& phase, const std::string& name, const std::string& value) const {
    std::printf("attack_%s_%s_%s=%s\n", store.c_str(), KeyName(phase).c_str(), name.c_str(),
                value.c_str());
  }
  void Key(const std::string& phase, const std::string& name, double value) const {
    Key(phase, name, Format("%.2f", value));
  }
  double Share(double cpuSeconds, double wall) const {
    return 100.0 * cpuSeconds / (wall * static_cast<double>(cores));
  }

  // Of the phase that ran last, when its attack ended before the phase
  // did (the header flood): the attack's own time, the CPU share it took
  // meanwhile, and the honest round trips started within it.
  double attackSeconds = 0;
  double attackCpuInWindow = 0;
  long windowRoundTrips = 0;
  double windowMaxMs = 0;
  int peakDescriptors = 0;  // the service's, in the phase that ran last

  // Runs `attack` (which returns when `stop` is set, or early when it is
  // done) beside the honest client for `seconds`, then lets the service
  // settle and reads its memory again. `describe` gives the attack's
  // outcome in words and writes its own keys.
  bool Phase(const std::string& key, const std::string& title,
             const std::function<void(const std::atomic<bool>&, CpuMeter&)>& attack,
             const std::function<std::string()>& describe) {
    PhaseReport report;
    report.key = key;
    report.title = title;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    ReadStatus(pid, report.before);
    const double redisMemoryBefore = redis.UsedMemoryMb();
    const double redisCpuBefore = redis.CpuSeconds();
    const double serverCpuBefore = ChildCpuSeconds(pid);
    Sampler sampler;
    sampler.Start(pid);
    CpuMeter attackCpu;
    CpuMeter honestCpu;
    HonestResult honest;
    std::atomic<bool> stop{false};
    const auto start = Clock::now();
    Clock::time_point attackEnd;
    std::thread attacker([&] {
      attack(stop, attackCpu);
      attackEnd = Clock::now();
    });
    std::thread client(RunHonest, port, key, honestInterval, std::cref(stop), std::ref(honest),
                       std::ref(honestCpu));
    std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds));
    stop = true;
    const auto end = Clock::now();
    client.join();
    attacker.join();
    report.seconds = SecondsBetween(start, end);
    attackSeconds = SecondsBetween(start, std::min(attackEnd, end));
    attackCpuInWindow = Share(attackCpu.seconds, attackSeconds);
    windowRoundTrips = 0;
    windowMaxMs = 0;
    for (std::size_t i = 0; i < honest.latenciesMs.size(); ++i) {
      if (honest.startedAt[i] >= attackEnd) continue;
      ++windowRoundTrips;
      windowMaxMs = std::max(windowMaxMs, honest.latenciesMs[i]);
    }
    report.serverCpu = Share(ChildCpuSeconds(pid) - serverCpuBefore, report.seconds);
    if (redis.server != nullptr) {
      report.redisCpu = Share(redis.CpuSeconds() - redisCpuBefore, report.seconds);
    }
    report.attackCpu = Share(attackCpu.seconds, report.seconds);
    report.honestCpu = Share(honestCpu.seconds, report.seconds);
    sampler.Stop();
    // The attack's connections are closed: what does the service give back?
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ReadStatus(pid, report.after);

    std::vector<double>& latencies = honest.latenciesMs;
    std::sort(latencies.begin(), latencies.end());
    report.roundTrips = static_cast<long>(latencies.size());
    report.p50 = Percentile(latencies, 0.50);
    report.p99 = Percentile(latencies, 0.99);
    if (key == "alone") aloneP99 = report.p99;
    report.ratio = aloneP99 > 0 ? report.p99 / aloneP99 : 0;
    report.failures = honest.failureCount;
    report.failureText = Counts(honest.failures);
    peakDescriptors = sampler.peakDescriptors;
    report.achieved = describe();

    Key(key, "seconds", report.seconds);
    Key(key, "honest_round_trips", std::to_string(report.roundTrips));
    Key(key, "honest_p50_ms", report.p50);
    Key(key, "honest_p99_ms", report.p99);
    Key(key, "honest_max_ms", latencies.empty() ? 0 : latencies.back());
    Key(key, "honest_p99_ratio_to_alone", Format("%.3f", report.ratio));
    Key(key, "honest_failures", std::to_string(report.failures));
    for (const auto& [name, count] : honest.failures) {
      Key(key, "honest_failure_" + KeyName(name), std::to_string(count));
    }
    Key(key, "rss_before_mb", report.before.rssMb);
    Key(key, "rss_peak_mb", std::max(sampler.peakRssMb, report.after.rssMb));
    Key(key, "rss_after_mb", report.after.rssMb);
    Key(key, "hwm_after_mb", report.after.hwmMb);
    Key(key, "threads_peak", std::to_string(sampler.peakThreads));
    Key(key, "descriptors_peak", std::to_string(sampler.peakDescriptors));
    Key(key, "service_cpu_percent_of_all_cores", report.serverCpu);
    Key(key, "attack_cpu_percent_of_all_cores", report.attackCpu);
    Key(key, "honest_cpu_percent_of_all_cores", report.honestCpu);
    if (redis.server != nullptr) {
      Key(key, "redis_cpu_percent_of_all_cores", report.redisCpu);
      Key(key, "redis_used_memory_before_mb", redisMemoryBefore);
      Key(key, "redis_used_memory_after_mb", redis.UsedMemoryMb());
    }
    report.peakRssMb = std::max(sampler.peakRssMb, report.after.rssMb);
    reports.push_back(report);
    std::fflush(stdout);

    int status = 0;
    if (!ServeProcessRunning(status)) {
      std::fprintf(stderr, "service_under_attack: the service ended during %s (wait status %d)\n",
                   key.c_str(), status);
      return false;
    }
    return true;
  }

  bool ServeProcessRunning(int& status) const { return waitpid(pid, &status, WNOHANG) == 0; }

  void PrintTable() const {
    std::printf("\n| phase | s | honest round trips | p50 ms | p99 ms | p99 / p99 alone (goal at most 2) "
                "| honest failures | service RSS MB before / peak / after | CPU %% of %u cores: "
                "service / attacker / honest%s | what the attack achieved |\n",
                cores, redis.server != nullptr ? " / Redis" : "");
    std::printf("|---|---|---|---|---|---|---|---|---|---|\n");
    for (const PhaseReport& r : reports) {
      std::string verdict = r.key == "alone" ? "1 (reference)"
                            : Format("%.2f", r.ratio) + (r.ratio <= 2 ? " met" : " **not met**");
      // No round trip completed: nothing to compare, and the goal missed.
      if (r.roundTrips == 0 || aloneP99 <= 0) verdict = "none completed, **not met**";
      std::string cpu = Format("%.0f", r.serverCpu) + " / " + Format("%.0f", r.attackCpu) + " / " +
                        Format("%.0f", r.honestCpu);
      if (r.redisCpu >= 0) cpu += " / " + Format("%.0f", r.redisCpu);
      std::printf("| %s | %.1f | %ld | %.2f | %.2f | %s | %s | %.1f / %.1f / %.1f | %s | %s |\n",
                  r.title.c_str(), r.seconds, r.roundTrips, r.p50, r.p99, verdict.c_str(),
                  r.failures == 0 ? "0" : (std::to_string(r.failures) + " (" + r.failureText + ")").c_str(),
                  r.before.rssMb, r.peakRssMb, r.after.rssMb, cpu.c_str(), r.achieved.c_str());
    }
  }
};

void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

struct Options {
  std::string store;
  double seconds = 15;
  int idle = 1000;
  int slow = 64;
  long long floodMb = 100;
  int floodConnections = 8;
  int challengeConnections = 4;
  double honestIntervalMs = 5;
  std::string serve = ZARNEL_VERIFY_PATH;
  std::vector<std::string> serveOptions;
};

bool ParseOptions(int argc, char** argv, Options& options) {
  if (argc < 2) return false;
  options.store = argv[1];
  if (options.store != "memory" && options.store != "redis") return false;
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--") {
      options.serveOptions.assign(argv + i + 1, argv + argc);
      break;
    }
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (option == "--seconds") options.seconds = std::atof(value.c_str());
    else if (option == "--idle") options.idle = std::atoi(value.c_str());
    else if (option == "--slow") options.slow = std::atoi(value.c_str());
    else if (option == "--flood-mb") options.floodMb = std::atoll(value.c_str());
    else if (option == "--flood-connections") options.floodConnections = std::atoi(value.c_str());
    else if (option == "--challenge-connections") options.challengeConnections = std::atoi(value.c_str());
    else if (option == "--honest-interval-ms") options.honestIntervalMs = std::atof(value.c_str());
    else if (option == "--serve") options.serve = value;
    else return false;
  }
  return options.seconds >= 1 && options.idle >= 0 && options.slow >= 0 && options.floodMb >= 0 &&
         options.floodConnections >= 1 && options.challengeConnections >= 1 &&
         options.honestIntervalMs >= 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) {
    std::fprintf(stderr,
                 "usage: service_under_attack memory|redis [--seconds 15] [--idle 1000] [--slow 64]\n"
                 "       [--flood-mb 100] [--flood-connections 8] [--challenge-connections 4]\n"
                 "       [--honest-interval-ms 5] [--serve PATH] [-- SERVE_OPTIONS...]\n");
    return 2;
  }
  std::signal(SIGPIPE, SIG_IGN);
  RaiseDescriptorLimit();

  testing::RedisServer redisServer;
  std::vector<std::string> serveOptions;
  if (options.store == "redis") {
    std::string error;
    if (!redisServer.Start(error)) {
      std::fprintf(stderr, "service_under_attack: %s\n", error.c_str());
      return 1;
    }
    serveOptions = {"--store", "redis://127.0.0.1:" + std::to_string(redisServer.port()) + "/attack"};
  }
  serveOptions.insert(serveOptions.end(), options.serveOptions.begin(), options.serveOptions.end());
  ServeProcess serve;
  std::string error;
  if (!serve.Start(options.serve, serveOptions, error)) {
    std::fprintf(stderr, "service_under_attack: %s\n", error.c_str());
    return 1;
  }

  Bench bench;
  bench.store = options.store;
  bench.port = serve.port;
  bench.pid = serve.pid;
  bench.redis.server = options.store == "redis" ? &redisServer : nullptr;
  bench.cores = std::max(1u, std::thread::hardware_concurrency());
  bench.seconds = options.seconds;
  bench.honestInterval =
      std::chrono::microseconds(static_cast<long long>(options.honestIntervalMs * 1000));
  const std::string& s = options.store;
  std::string shownOptions;
  for (const std::string& option : serveOptions) shownOptions += (shownOptions.empty() ? "" : " ") + option;
  std::printf("attack_%s_cores=%u\n", s.c_str(), bench.cores);
  std::printf("attack_%s_phase_seconds=%.0f\n", s.c_str(), options.seconds);
  std::printf("attack_%s_serve_options=%s\n", s.c_str(), shownOptions.c_str());
  std::printf("attack_%s_attacker_address=%s\n", s.c_str(), kAttackerAddress);
  std::printf("attack_%s_honest_interval_ms=%.1f\n", s.c_str(), options.honestIntervalMs);
  std::printf("attack_%s_idle_connections=%d\n", s.c_str(), options.idle);
  std::printf("attack_%s_slow_connections=%d\n", s.c_str(), options.slow);
  std::printf("attack_%s_flood_mb=%lld\n", s.c_str(), options.floodMb);
  std::printf("attack_%s_flood_connections=%d\n", s.c_str(), options.floodConnections);
  std::printf("attack_%s_challenge_connections=%d\n", s.c_str(), options.challengeConnections);
  ProcStatus started;
  ReadStatus(serve.pid, started);
  std::printf("attack_%s_rss_at_start_mb=%.2f\n", s.c_str(), started.rssMb);

  // Warm-up, not counted: first connections, first allocations.
  {
    std::atomic<bool> stop{false};
    CpuMeter ignored;
    HonestResult warm;
    std::thread client(RunHonest, serve.port, "warm", bench.honestInterval, std::cref(stop),
                       std::ref(warm), std::ref(ignored));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop = true;
    client.join();
  }

  const auto nothing = [](const std::atomic<bool>& stop, CpuMeter&) {
    while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  };
  bool ran = bench.Phase("alone", "alone", nothing, [] { return std::string("-"); });

  IdleResult idle;
  idle.wanted = options.idle;
  ran = ran && bench.Phase(
      "idle", std::to_string(options.idle) + " idle connections",
      [&](const std::atomic<bool>& stop, CpuMeter& cpu) { RunIdle(serve.port, stop, idle, cpu); },
      [&] {
        bench.Key("idle", "connected", std::to_string(idle.connected));
        bench.Key("idle", "connect_failures", std::to_string(idle.failed));
        bench.Key("idle", "open_at_end", std::to_string(idle.openAtEnd));
        bench.Key("idle", "open_seconds", idle.openSeconds);
        return std::to_string(idle.connected) + " of " + std::to_string(idle.wanted) +
               " connected in " + Format("%.2f", idle.openSeconds) + " s (the service held up to " +
               std::to_string(bench.peakDescriptors) + " descriptors), " +
               std::to_string(idle.openAtEnd) + " still open at the end" +
               (idle.failed > 0 ? "; " + std::to_string(idle.failed) + " failed: " + idle.firstError : "");
      });

  SlowResult slow;
  slow.wanted = options.slow;
  ran = ran && bench.Phase(
      "slow_headers", std::to_string(options.slow) + " slow-header connections",
      [&](const std::atomic<bool>& stop, CpuMeter& cpu) { RunSlowHeaders(serve.port, stop, slow, cpu); },
      [&] {
        std::vector<double>& after = slow.cutAfterSeconds;
        std::sort(after.begin(), after.end());
        double mean = 0;
        for (const double value : after) mean += value / static_cast<double>(after.size());
        bench.Key("slow_headers", "connections_opened", std::to_string(slow.opened));
        bench.Key("slow_headers", "cut_off", std::to_string(slow.cutOff));
        bench.Key("slow_headers", "cut_after_min_s", after.empty() ? 0 : after.front());
        bench.Key("slow_headers", "cut_after_mean_s", mean);
        bench.Key("slow_headers", "cut_after_max_s", after.empty() ? 0 : after.back());
        bench.Key("slow_headers", "header_lines_sent", std::to_string(slow.lines));
        bench.Key("slow_headers", "most_lines_before_cut", std::to_string(slow.mostLinesBeforeCut));
        bench.Key("slow_headers", "reply_bytes", std::to_string(slow.replyBytes));
        bench.Key("slow_headers", "connect_failures", std::to_string(slow.connectFailures));
        return std::to_string(slow.opened) + " connections, " + std::to_string(slow.lines) +
               " header lines; " +
               (after.empty() ? std::string("none cut off")
                              : std::to_string(slow.cutOff) + " cut off " +
                                    Format("%.1f", after.front()) + " to " +
                                    Format("%.1f", after.back()) +
                                    " s after their first byte (at most " +
                                    std::to_string(slow.mostLinesBeforeCut) + " lines in)") +
               (slow.replyBytes > 0 ? "; " + std::to_string(slow.replyBytes) + " reply bytes" : "");
      });

  FloodResult flood;
  flood.targetBytes = options.floodMb * 1000 * 1000;
  ran = ran && bench.Phase(
      "header_flood", Format("%.0f", static_cast<double>(options.floodMb)) + " MB header flood",
      [&](const std::atomic<bool>& stop, CpuMeter& cpu) {
        RunHeaderFlood(serve.port, options.floodConnections, stop, flood, cpu);
      },
      [&] {
        const double mb = static_cast<double>(flood.bytesSent.load()) / 1e6;
        bench.Key("header_flood", "mb_sent", mb);
        bench.Key("header_flood", "reached_target", flood.done ? "yes" : "no");
        bench.Key("header_flood", "connections", std::to_string(flood.connections));
        bench.Key("header_flood", "refused_431_read", std::to_string(flood.refusedWith431));
        bench.Key("header_flood", "cut_off_reset", std::to_string(flood.reset));
        bench.Key("header_flood", "cut_off_closed", std::to_string(flood.closed));
        bench.Key("header_flood", "stalled", std::to_string(flood.stalled));
        bench.Key("header_flood", "connect_failures", std::to_string(flood.connectFailures));
        bench.Key("header_flood", "most_mb_on_one_connection",
                  static_cast<double>(flood.mostBytesOnOne) / 1e6);
        bench.Key("header_flood", "flood_seconds", bench.attackSeconds);
        bench.Key("header_flood", "attack_cpu_percent_during_flood", bench.attackCpuInWindow);
        bench.Key("header_flood", "honest_round_trips_during_flood",
                  std::to_string(bench.windowRoundTrips));
        bench.Key("header_flood", "honest_max_ms_during_flood", bench.windowMaxMs);
        std::vector<double>& cutAfter = flood.cutAfterMs;
        std::sort(cutAfter.begin(), cutAfter.end());
        bench.Key("header_flood", "cut_after_median_ms", Percentile(cutAfter, 0.5));
        bench.Key("header_flood", "cut_after_max_ms", cutAfter.empty() ? 0 : cutAfter.back());
        const int cut = flood.refusedWith431 + flood.reset + flood.closed;
        return Format("%.1f", mb) + " MB sent in " + Format("%.2f", bench.attackSeconds) +
               " s (attacker " + Format("%.0f", bench.attackCpuInWindow) +
               "% of the cores meanwhile; honest round trips started then: " +
               std::to_string(bench.windowRoundTrips) + ", slowest " +
               Format("%.2f", bench.windowMaxMs) + " ms) on " + std::to_string(flood.connections) +
               " connections; " + std::to_string(cut) + " cut off (" +
               std::to_string(flood.refusedWith431) + " with the 431 read, " +
               std::to_string(flood.reset) + " reset, " + std::to_string(flood.closed) +
               " closed) a median " + Format("%.1f", Percentile(cutAfter, 0.5)) + " ms (at most " +
               Format("%.1f", cutAfter.empty() ? 0 : cutAfter.back()) + " ms) after connecting, " +
               std::to_string(flood.stalled) + " stalled; at most " +
               Format("%.2f", static_cast<double>(flood.mostBytesOnOne) / 1e6) +
               " MB taken on one connection";
      });

  for (const bool oneSession : {true, false}) {
    const std::string key = oneSession ? "challenges_one_session" : "challenges_many_sessions";
    ChallengeFloodResult challenges;
    ran = ran && bench.Phase(
        key, oneSession ? "challenge flood, one session" : "challenge flood, a session each",
        [&](const std::atomic<bool>& stop, CpuMeter& cpu) {
          RunChallengeFlood(serve.port, options.challengeConnections, oneSession, stop, challenges, cpu);
        },
        [&] {
          long refused = 0;
          for (const auto& [check, count] : challenges.refused) {
            refused += count;
            bench.Key(key, "refused_" + KeyName(check), std::to_string(count));
          }
          bench.Key(key, "issued", std::to_string(challenges.issued));
          bench.Key(key, "refused", std::to_string(refused));
          bench.Key(key, "transport_failures", std::to_string(challenges.transportFailures));
          bench.Key(key, "connections", std::to_string(challenges.connections));
          const double asked = static_cast<double>(challenges.issued + refused);
          return Format("%.0f", asked / bench.attackSeconds) + " asked a second; " +
                 std::to_string(challenges.issued) + " issued, " + std::to_string(refused) +
                 " refused" + (refused > 0 ? " (" + Counts(challenges.refused) + ")" : "") +
                 (challenges.transportFailures > 0
                      ? "; " + std::to_string(challenges.transportFailures) + " lost in transport"
                      : "") +
                 " on " + std::to_string(challenges.connections) + " connections";
        });
  }

  ran = ran && bench.Phase("alone_after", "alone again", nothing, [] { return std::string("-"); });

  double stopSeconds = 0;
  const int exitCode = serve.Stop(stopSeconds);
  std::printf("attack_%s_service_exit_code=%d\n", s.c_str(), exitCode);
  std::printf("attack_%s_service_stop_seconds=%.2f\n", s.c_str(), stopSeconds);
  // Anything on standard error, and any log line at warn or error, is a
  // finding: the first few are shown.
  std::ifstream errors(serve.logPath);
  std::string line;
  long errorLines = 0;
  while (std::getline(errors, line)) {
    if (++errorLines <= 5) std::fprintf(stderr, "service standard error: %s\n", line.c_str());
  }
  for (const std::string& warning : serve.firstWarnings) {
    std::fprintf(stderr, "service log: %s\n", warning.c_str());
  }
  std::printf("attack_%s_service_log_lines=%ld\n", s.c_str(), serve.logLines);
  std::printf("attack_%s_service_log_warnings=%ld\n", s.c_str(), serve.logWarnings);
  std::printf("attack_%s_service_standard_error_lines=%ld\n", s.c_str(), errorLines);
  std::remove(serve.logPath.c_str());
  bench.PrintTable();
  return ran && exitCode == 0 ? 0 : 1;
}
