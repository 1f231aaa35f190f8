// One accepted connection of the HTTP service, from its first byte to its
// close: the parts of the server that HttpService shares with it.
#pragma once

#include <atomic>
#include <cstddef>
#include <optional>
#include <string>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/thread_pool.hpp>

#include "http_service.h"

namespace zarnel::serverkit::service {

struct HttpShared {
  HttpShared(const VerificationService& service, const HttpLimits& limits, HttpAccess access,
             ServiceLog log, boost::asio::thread_pool& workers);

  const VerificationService& service;
  const HttpLimits limits;
  const HttpAccess access;
  const ServiceLog log;
  boost::asio::thread_pool& workers;
  // Set up by Bind() when the service speaks TLS.
  std::optional<boost::asio::ssl::context> tls;
  // Connections open now; the acceptor closes one past the limit.
  std::atomic<std::size_t> connections{0};
};

// Serves `socket` until either side ends it or a limit does. The
// connection counts itself in `shared.connections` while it lives.
void ServeConnection(boost::asio::ip::tcp::socket socket, HttpShared& shared);

}  // namespace zarnel::serverkit::service
