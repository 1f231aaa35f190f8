// The verification service on HTTP/1.1, optionally over TLS: every request
// goes to one VerificationService, beside the probes /livez (the process
// answers), /readyz (the store answers and the service is not draining)
// and /metrics (Prometheus). The server is event-driven (Asio):
// connections cost a socket and a buffer, never a thread, and every thing
// a caller can make it hold has a limit. Verification itself, which may
// wait on Redis, runs on a separate pool of workers, so that a slow store
// never stops the reading of requests or the answering of health probes.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "http_access.h"
#include "request_record.h"
#include "service_metrics.h"
#include "verification_service.h"

namespace zarnel::serverkit::service {

struct HttpLimits {
  // Past it a new connection is closed as soon as it is accepted.
  std::size_t maxConnections = 4096;
  // The same, for the connections of one peer address, so that one host
  // cannot take every connection; a load balancer in front of the service
  // is one address and needs this raised.
  std::size_t maxConnectionsPerAddress = 1024;
  // The request line and all header fields together; a backend's calls
  // carry a handful of short fields.
  std::size_t maxHeaderBytes = 8 * 1024;
  std::size_t maxHeaderFields = 64;
  // The largest real request, a report with its evidence, is under 1 KiB.
  std::size_t maxBodyBytes = 64 * 1024;
  // From a request's first byte (a TLS connection's first byte) to its
  // last: a client that trickles its header is cut off here, however
  // often it sends.
  std::chrono::milliseconds requestTimeout{std::chrono::seconds(10)};
  // An open connection with no request under way.
  std::chrono::milliseconds idleTimeout{std::chrono::seconds(60)};
  std::chrono::milliseconds writeTimeout{std::chrono::seconds(10)};
  // Threads that read and write; 0: one per core.
  std::size_t ioThreads = 0;
  // Threads that verify. Each waits on the store during a call, so there
  // are more of them than cores. 0: the I/O threads verify, which saves
  // two thread switches a request but lets a store that waits stop them;
  // only for a store that never waits (memory).
  std::size_t workerThreads = 16;
};

class HttpService {
 public:
  HttpService(const VerificationService& service, const HttpLimits& limits = {},
              HttpAccess access = {}, ServiceLog log = LogToStandardError);
  ~HttpService();
  HttpService(const HttpService&) = delete;
  HttpService& operator=(const HttpService&) = delete;

  // Sets up TLS (when asked) and binds to `host` and `port` (0: any free
  // port). The bound port, or -1 with `error` set.
  int Bind(const std::string& host, int port, std::string& error);
  // Serves until Stop() or Shutdown() has ended it; false if it could
  // not serve at all.
  bool Run();
  // From any thread: Run() returns at once; requests under way are cut.
  void Stop();

  // Before Run(): sees every answered request (the log).
  void SetRequestObserver(RequestObserver observer);
  ServiceMetrics& metrics();

  // From any thread. While draining, /readyz answers 503 "draining" so
  // that load balancers take the service out, and everything else is
  // served as before.
  void SetDraining(bool draining);
  // From any thread: stops accepting, answers every request already
  // received (one read but not yet answered, or waiting in a
  // connection's buffer), closes each connection once it has no request,
  // and then Run() returns. Connections still busy past the request and
  // write time-outs (and 5 s more for the store) are cut.
  void Shutdown();

 private:
  struct Server;
  std::unique_ptr<Server> server_;
};

}  // namespace zarnel::serverkit::service
