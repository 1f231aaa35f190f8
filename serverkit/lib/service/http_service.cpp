#include "http_service.h"

#include <sys/socket.h>

#include <httplib.h>

namespace zarnel::serverkit::service {

struct HttpService::Server {
  httplib::Server http;
  int listeningSocket = -1;
};

namespace {

constexpr char kJson[] = "application/json";

void Answer(const ServiceReply& reply, httplib::Response& response) {
  response.status = reply.status;
  response.set_content(DumpJson(reply.body) + "\n", kJson);
}

}  // namespace

HttpService::HttpService(const VerificationService& service, const HttpLimits& limits)
    : server_(std::make_unique<Server>()) {
  httplib::Server& http = server_->http;
  const std::size_t threads = limits.threads;
  http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  http.set_payload_max_length(limits.maxBodyBytes);
  http.set_read_timeout(limits.readTimeout);
  http.set_write_timeout(limits.writeTimeout);
  http.set_keep_alive_timeout(static_cast<time_t>(limits.keepAliveTimeout.count()));
  http.set_keep_alive_max_count(1000);
  http.set_tcp_nodelay(true);
  // The library listens with a backlog of 5: a burst of backends
  // connecting at once overflows it, and the connections the kernel then
  // drops end in read errors at the clients. Bind() listens again with the
  // system's backlog on the socket remembered here.
  http.set_socket_options([server = server_.get()](int socket) {
    httplib::default_socket_options(socket);
    server->listeningSocket = socket;
  });

  const auto handle = [&service](const httplib::Request& request, httplib::Response& response) {
    Answer(service.Handle(request.method, request.path, request.body), response);
  };
  // Every path and method reaches the service, which names what is wrong.
  const std::string any = ".*";
  http.Get(any, handle);
  http.Post(any, handle);
  http.Put(any, handle);
  http.Delete(any, handle);
  http.Patch(any, handle);
  http.Options(any, handle);
  // What the HTTP library refuses by itself (a body over the limit, a
  // malformed request line) still answers with the service's JSON.
  http.set_error_handler([](const httplib::Request&, httplib::Response& response) {
    if (!response.body.empty()) return;
    const std::string detail = response.status == 413
                                   ? "request body is larger than the limit"
                                   : "request refused by the HTTP layer (status " +
                                         std::to_string(response.status) + ")";
    const int status = response.status;
    Answer(BadRequest(status, detail), response);
  });
  // The service catches everything itself; this is the HTTP layer's own
  // failure, answered the same way.
  http.set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        Answer(InternalError(), response);
      });
}

HttpService::~HttpService() { Stop(); }

int HttpService::Bind(const std::string& host, int port, std::string& error) {
  httplib::Server& http = server_->http;
  const int bound = port == 0 ? http.bind_to_any_port(host) : (http.bind_to_port(host, port) ? port : -1);
  if (bound < 0 || ::listen(server_->listeningSocket, SOMAXCONN) != 0) {
    error = "cannot listen on " + host + ":" + std::to_string(port);
    return -1;
  }
  return bound;
}

bool HttpService::Run() { return server_->http.listen_after_bind(); }

void HttpService::Stop() { server_->http.stop(); }

}  // namespace zarnel::serverkit::service
