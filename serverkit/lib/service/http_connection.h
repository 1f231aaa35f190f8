// One accepted connection of the HTTP service, from its first byte to its
// close: the parts of the server that HttpService shares with it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/thread_pool.hpp>

#include "http_service.h"

namespace zarnel::serverkit::service {

// An answer as HTTP sends it.
struct HttpAnswer {
  int status = 200;
  std::string contentType = "application/json";
  std::string body;
};

struct HttpShared {
  HttpShared(const VerificationService& service, const HttpLimits& limits, HttpAccess access,
             ServiceLog log, boost::asio::thread_pool& workers);

  // The answer to one request that was read whole and let in, on a
  // worker; what the log keeps of it goes into `record`.
  HttpAnswer Answer(const std::string& method, const std::string& path, std::string_view body,
                    const std::string& caller, RequestRecord& record) const;
  // Counts, and hands to the observer, one answered request.
  void Record(RequestRecord& record, const HttpAnswer& answer);

  // Counts a connection of `address`; false (nothing counted) past its
  // limit.
  bool AdmitAddress(const std::string& address);
  void ReleaseAddress(const std::string& address);

  // Connections register a way to be told the service is stopping.
  std::uint64_t Register(std::function<void()> finish);
  void Unregister(std::uint64_t id);
  void FinishAll();

  const VerificationService& service;
  const HttpLimits limits;
  const HttpAccess access;
  const ServiceLog log;
  boost::asio::thread_pool& workers;
  // Set up by Bind() when the service speaks TLS.
  std::optional<boost::asio::ssl::context> tls;
  // Connections open now; the acceptor closes one past the limit.
  std::atomic<std::size_t> connections{0};
  ServiceMetrics metrics;
  RequestObserver observer;
  std::atomic<bool> draining{false};
  std::atomic<bool> stopping{false};

 private:
  std::mutex mutex_;
  std::uint64_t nextId_ = 0;
  std::map<std::uint64_t, std::function<void()>> finishers_;
  std::map<std::string, std::size_t> perAddress_;

  HttpAnswer AnswerOrThrow(const std::string& method, const std::string& path,
                           std::string_view body, const std::string& caller,
                           RequestRecord& record) const;
};

HttpAnswer ToHttpAnswer(const ServiceReply& reply);
// The same, with what the log keeps of it read into `record` on the way.
HttpAnswer ToHttpAnswer(const ServiceReply& reply, RequestRecord& record);

// Serves `socket` until either side ends it, a limit does, or the service
// stops. The connection counts itself in `shared.connections` while it
// lives.
void ServeConnection(boost::asio::ip::tcp::socket socket, HttpShared& shared);

}  // namespace zarnel::serverkit::service
