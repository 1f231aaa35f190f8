#include "http_service.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/thread_pool.hpp>

#include "http_connection.h"
#include "tls_setup.h"

namespace zarnel::serverkit::service {

namespace net = boost::asio;
using net::ip::tcp;
using boost::system::error_code;

struct HttpService::Server {
  Server(const VerificationService& service, const HttpLimits& limits, HttpAccess access,
         ServiceLog log)
      : workers(std::max<std::size_t>(1, limits.workerThreads)),
        shared(service, limits, std::move(access), std::move(log), workers),
        acceptor(net::make_strand(io)) {}

  void Accept();
  // Polls until the last connection is gone or `deadline` passes, then
  // ends Run().
  void StopWhenIdle(std::chrono::steady_clock::time_point deadline);

  // Declared so that they end in this order: the acceptor; the context,
  // whose pending handlers still hold connections that count themselves
  // out of `shared`; `shared`; the workers, joined by then.
  net::thread_pool workers;
  HttpShared shared;
  net::io_context io;
  tcp::acceptor acceptor;
  // A full table of descriptors (EMFILE) would make accept fail at once
  // forever; it is retried after a pause instead.
  std::unique_ptr<net::steady_timer> acceptPause;
  std::unique_ptr<net::steady_timer> stopPoll;
};

void HttpService::Server::StopWhenIdle(std::chrono::steady_clock::time_point deadline) {
  if (shared.connections.load() == 0 || std::chrono::steady_clock::now() >= deadline) {
    io.stop();
    return;
  }
  stopPoll = std::make_unique<net::steady_timer>(io, std::chrono::milliseconds(20));
  stopPoll->async_wait([this, deadline](const error_code&) { StopWhenIdle(deadline); });
}

void HttpService::Server::Accept() {
  acceptor.async_accept(net::make_strand(io), [this](const error_code& error, tcp::socket socket) {
    if (error == net::error::operation_aborted || !acceptor.is_open()) return;
    if (error) {
      shared.log("accept failed: " + error.message());
      acceptPause = std::make_unique<net::steady_timer>(io, std::chrono::milliseconds(100));
      acceptPause->async_wait([this](const error_code&) { Accept(); });
      return;
    }
    // Closing one past the limit costs nothing to hold; the caller sees
    // its connection end and may try again.
    if (shared.connections.fetch_add(1) >= shared.limits.maxConnections) {
      shared.connections.fetch_sub(1);
      shared.metrics.CountRefusedConnection();
      error_code ignored;
      socket.close(ignored);
    } else {
      ServeConnection(std::move(socket), shared);
    }
    Accept();
  });
}

HttpService::HttpService(const VerificationService& service, const HttpLimits& limits,
                         HttpAccess access, ServiceLog log)
    : server_(std::make_unique<Server>(service, limits, std::move(access), std::move(log))) {}

HttpService::~HttpService() {
  Stop();
  server_->workers.join();
}

int HttpService::Bind(const std::string& host, int port, std::string& error) {
  HttpShared& shared = server_->shared;
  if (shared.access.tls) {
    shared.tls.emplace(net::ssl::context::tls_server);
    if (!SetUpTls(*shared.access.tls, *shared.tls, error)) return -1;
  }
  error_code failure;
  const tcp::endpoint endpoint(net::ip::make_address(host == "localhost" ? "127.0.0.1" : host,
                                                     failure),
                               static_cast<unsigned short>(port));
  if (failure) {
    error = "cannot listen on " + host + ":" + std::to_string(port) + ": not an IP address";
    return -1;
  }
  tcp::acceptor& acceptor = server_->acceptor;
  if (!acceptor.open(endpoint.protocol(), failure) &&
      !acceptor.set_option(tcp::acceptor::reuse_address(true), failure) &&
      !acceptor.bind(endpoint, failure) && !acceptor.listen(net::socket_base::max_listen_connections, failure)) {
    return acceptor.local_endpoint().port();
  }
  error = "cannot listen on " + host + ":" + std::to_string(port) + ": " + failure.message();
  return -1;
}

bool HttpService::Run() {
  Server& server = *server_;
  if (!server.acceptor.is_open()) return false;
  net::post(server.acceptor.get_executor(), [&server] { server.Accept(); });
  std::size_t threads = server.shared.limits.ioThreads;
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> others;
  for (std::size_t i = 1; i < threads; ++i) others.emplace_back([&server] { server.io.run(); });
  server.io.run();
  for (std::thread& thread : others) thread.join();
  return true;
}

void HttpService::SetRequestObserver(RequestObserver observer) {
  server_->shared.observer = std::move(observer);
}

ServiceMetrics& HttpService::metrics() { return server_->shared.metrics; }

void HttpService::SetDraining(bool draining) { server_->shared.draining.store(draining); }

void HttpService::Shutdown() {
  Server& server = *server_;
  net::post(server.acceptor.get_executor(), [&server] {
    server.shared.stopping.store(true);
    error_code ignored;
    server.acceptor.close(ignored);
    server.shared.FinishAll();
    const HttpLimits& limits = server.shared.limits;
    const auto deadline = std::chrono::steady_clock::now() + limits.requestTimeout +
                          limits.writeTimeout + std::chrono::seconds(5);
    server.StopWhenIdle(deadline);
  });
}

void HttpService::Stop() {
  Server& server = *server_;
  net::post(server.acceptor.get_executor(), [&server] {
    error_code ignored;
    server.acceptor.close(ignored);
  });
  server.io.stop();
}

}  // namespace zarnel::serverkit::service
