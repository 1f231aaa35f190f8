// The verification service on HTTP: every request goes to one
// VerificationService, with a bounded body and bounded waits on slow
// clients. The HTTP library stays behind this header.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "verification_service.h"

namespace zarnel::serverkit::service {

struct HttpLimits {
  // The largest real request, a report with its evidence, is under 1 KiB.
  std::size_t maxBodyBytes = 64 * 1024;
  std::chrono::seconds readTimeout{5};
  std::chrono::seconds writeTimeout{5};
  std::chrono::seconds keepAliveTimeout{5};
  // Each open connection holds a worker while it stays open.
  std::size_t threads = 64;
};

class HttpService {
 public:
  HttpService(const VerificationService& service, const HttpLimits& limits = {});
  ~HttpService();
  HttpService(const HttpService&) = delete;
  HttpService& operator=(const HttpService&) = delete;

  // Binds to `host` and `port` (0: any free port). The bound port, or -1
  // with `error` set.
  int Bind(const std::string& host, int port, std::string& error);
  // Serves until Stop(); false if it could not.
  bool Run();
  // From any thread; Run() then returns.
  void Stop();

 private:
  struct Server;
  std::unique_ptr<Server> server_;
};

}  // namespace zarnel::serverkit::service
