#include "http_connection.h"

#include "tls_setup.h"

#include <chrono>
#include <memory>
#include <string_view>
#include <utility>

#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/asio/ssl/stream_base.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/stream_traits.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

namespace zarnel::serverkit::service {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using beast::error_code;

HttpShared::HttpShared(const VerificationService& service, const HttpLimits& limits,
                       HttpAccess access, ServiceLog log, net::thread_pool& workers)
    : service(service), limits(limits), access(std::move(access)), log(std::move(log)),
      workers(workers) {}

HttpAnswer ToHttpAnswer(const ServiceReply& reply) {
  HttpAnswer answer;
  answer.status = reply.status;
  answer.body = DumpJson(reply.body);
  answer.body += '\n';
  return answer;
}

HttpAnswer ToHttpAnswer(const ServiceReply& reply, RequestRecord& record) {
  ReadReply(reply.body, reply.requestId, reply.requestSession, record);
  return ToHttpAnswer(reply);
}

namespace {

constexpr int kOk = 200;
constexpr int kUnavailable = 503;

ServiceReply Probe(int status, const std::string& check, const std::string& detail) {
  ServiceReply reply;
  reply.status = status;
  reply.body["ok"] = status == kOk;
  reply.body["check"] = check;
  if (!detail.empty()) reply.body["detail"] = detail;
  return reply;
}

}  // namespace

HttpAnswer HttpShared::Answer(const std::string& method, const std::string& path,
                              std::string_view body, const std::string& caller,
                              RequestRecord& record) const {
  // The service catches its own failures; this is the probes' (a store
  // gauge, an allocation), which must not end a worker thread.
  try {
    return AnswerOrThrow(method, path, body, caller, record);
  } catch (const std::exception& error) {
    log(method + " " + path + ": internal-error: " + error.what());
  } catch (...) {
    log(method + " " + path + ": internal-error: an exception of no standard type");
  }
  return ToHttpAnswer(InternalError(), record);
}

HttpAnswer HttpShared::AnswerOrThrow(const std::string& method, const std::string& path,
                                     std::string_view body, const std::string& caller,
                                     RequestRecord& record) const {
  const bool probe = path == "/livez" || path == "/readyz" || path == "/metrics";
  if (probe && method != "GET") {
    return ToHttpAnswer(BadRequest(405, "use GET on " + path), record);
  }
  if (path == "/livez") return ToHttpAnswer(Probe(kOk, "ok", ""), record);
  if (path == "/readyz") {
    if (draining.load()) {
      return ToHttpAnswer(Probe(kUnavailable, "draining", "the service is stopping"), record);
    }
    // Ready when the store answers, as /healthz says.
    return ToHttpAnswer(service.Handle("GET", "/healthz", "", caller), record);
  }
  if (path == "/metrics") {
    HttpAnswer answer;
    answer.contentType = "text/plain; version=0.0.4; charset=utf-8";
    answer.body = metrics.Render(connections.load(), draining.load());
    return answer;
  }
  return ToHttpAnswer(service.Handle(method, path, body, caller), record);
}

void HttpShared::Record(RequestRecord& record, const HttpAnswer& answer) {
  record.status = answer.status;
  metrics.CountRequest(record.endpoint, record.status, record.check, record.seconds);
  if (observer) observer(record);
}

bool HttpShared::AdmitAddress(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::size_t& count = perAddress_[address];
  if (count >= limits.maxConnectionsPerAddress) {
    if (count == 0) perAddress_.erase(address);
    return false;
  }
  ++count;
  return true;
}

void HttpShared::ReleaseAddress(const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = perAddress_.find(address);
  if (it == perAddress_.end()) return;
  if (--it->second == 0) perAddress_.erase(it);
}

std::uint64_t HttpShared::Register(std::function<void()> finish) {
  std::lock_guard<std::mutex> lock(mutex_);
  finishers_.emplace(++nextId_, std::move(finish));
  return nextId_;
}

void HttpShared::Unregister(std::uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  finishers_.erase(id);
}

void HttpShared::FinishAll() {
  std::map<std::uint64_t, std::function<void()>> finishers;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finishers = finishers_;
  }
  for (auto& [id, finish] : finishers) finish();
}

namespace {

constexpr int kBadRequest = 400;
constexpr int kUnauthorized = 401;
constexpr int kPayloadTooLarge = 413;
constexpr int kHeaderTooLarge = 431;

// Probes that a load balancer or an orchestrator sends without
// credentials. /metrics is not one: a scraper is given a token or a
// certificate like any backend.
bool IsHealthProbe(std::string_view path) {
  return path == "/healthz" || path == "/livez" || path == "/readyz";
}

ServiceReply Unauthenticated(const std::string& detail) {
  ServiceReply reply;
  reply.status = kUnauthorized;
  reply.body["ok"] = false;
  reply.body["check"] = "unauthenticated";
  reply.body["detail"] = detail;
  return reply;
}

// The answer to a request the HTTP layer could not read whole, or none
// when the connection is only closed (the peer left, or was too slow).
bool ReadFailureReply(const error_code& error, ServiceReply& reply) {
  if (error == http::error::header_limit || error == http::error::buffer_overflow) {
    reply = BadRequest(kHeaderTooLarge, "request header is larger than the limit");
    return true;
  }
  if (error == http::error::body_limit) {
    reply = BadRequest(kPayloadTooLarge, "request body is larger than the limit");
    return true;
  }
  if (error.category() == make_error_code(http::error::end_of_stream).category() &&
      error != http::error::end_of_stream && error != http::error::partial_message) {
    reply = BadRequest(kBadRequest, "malformed HTTP request: " + error.message());
    return true;
  }
  return false;
}

template <class Stream>
class Connection : public std::enable_shared_from_this<Connection<Stream>> {
 public:
  Connection(Stream stream, HttpShared& shared, std::string peer)
      : stream_(std::move(stream)),
        shared_(shared),
        limits_(shared.limits),
        buffer_(limits_.maxHeaderBytes + limits_.maxBodyBytes + kSlack),
        peer_(std::move(peer)) {}
  ~Connection() {
    shared_.Unregister(registration_);
    shared_.ReleaseAddress(peer_);
    shared_.connections.fetch_sub(1);
  }

  void Start() {
    // Told on the connection's own strand when the service stops.
    registration_ = shared_.Register([weak = this->weak_from_this()] {
      if (auto self = weak.lock()) {
        net::post(self->Tcp().get_executor(), [self] { self->Finish(); });
      }
    });
    if constexpr (kTls) {
      Tcp().expires_after(limits_.requestTimeout);
      stream_.async_handshake(net::ssl::stream_base::server,
                              [self = this->shared_from_this()](const error_code& error) {
                                if (error) return self->Close();
                                self->certificate_ =
                                    ClientCertificateIdentity(self->stream_.native_handle());
                                self->WaitForRequest();
                              });
    } else {
      WaitForRequest();
    }
  }

 private:
  static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;
  // Room past the limits for the request line's bytes in flight.
  static constexpr std::size_t kSlack = 4096;
  static constexpr std::chrono::seconds kLingerTime{2};
  static constexpr std::size_t kLingerBytes = 1024 * 1024;

  beast::tcp_stream& Tcp() { return beast::get_lowest_layer(stream_); }

  // Between requests only the idle time-out runs; the request time-out
  // starts with the next request's first byte.
  void WaitForRequest() {
    if (buffer_.size() > 0) return ReadHeader();
    if (shared_.stopping.load()) return Close();
    idle_ = true;
    Tcp().expires_after(limits_.idleTimeout);
    stream_.async_read_some(buffer_.prepare(kSlack), [self = this->shared_from_this()](
                                                         const error_code& error, std::size_t n) {
      self->idle_ = false;
      if (error == net::error::operation_aborted && self->shared_.stopping.load()) {
        return self->FinishIdle();
      }
      if (error) return self->Close();
      self->buffer_.commit(n);
      self->ReadHeader();
    });
  }

  // The service stops. A request under way is finished and its answer
  // closes the connection; an idle connection is closed now unless a
  // request already waits in it.
  void Finish() {
    if (idle_) Tcp().socket().cancel();
  }

  void FinishIdle() {
    error_code error;
    const std::size_t waiting = Tcp().socket().available(error);
    if (error || waiting == 0) return Close();
    Tcp().expires_after(limits_.requestTimeout);
    stream_.async_read_some(buffer_.prepare(kSlack), [self = this->shared_from_this()](
                                                         const error_code& error, std::size_t n) {
      if (error) return self->Close();
      self->buffer_.commit(n);
      self->ReadHeader();
    });
  }

  void ReadHeader() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(limits_.maxHeaderBytes));
    parser_->body_limit(limits_.maxBodyBytes);
    Tcp().expires_after(limits_.requestTimeout);
    http::async_read_header(stream_, buffer_, *parser_,
                            [self = this->shared_from_this()](const error_code& error,
                                                               std::size_t) {
                              self->OnHeader(error);
                            });
  }

  void OnHeader(const error_code& error) {
    ServiceReply refusal;
    if (error) return ReadFailureReply(error, refusal) ? Refuse(std::move(refusal)) : Close();
    const auto& request = parser_->get();
    // Beast counts its header limit only over bytes it had not parsed
    // when the read began, so a header that came whole in the first read
    // escapes it: the bytes are counted here again, as they were sent.
    std::size_t fields = 0;
    std::size_t bytes = request.method_string().size() + request.target().size() + 12;
    for (auto it = request.begin(); it != request.end(); ++it) {
      ++fields;
      bytes += it->name_string().size() + it->value().size() + 4;
    }
    if (bytes > limits_.maxHeaderBytes) {
      return Refuse(BadRequest(kHeaderTooLarge, "request header is larger than the limit"));
    }
    if (fields > limits_.maxHeaderFields) {
      return Refuse(BadRequest(kHeaderTooLarge, "request has more header fields than the limit (" +
                                                    std::to_string(limits_.maxHeaderFields) + ")"));
    }
    const std::string_view target(request.target().data(), request.target().size());
    path_ = std::string(target.substr(0, target.find('?')));
    if (!Authenticate(request)) return;
    if (parser_->is_done()) return Dispatch();
    http::async_read(stream_, buffer_, *parser_,
                     [self = this->shared_from_this()](const error_code& error, std::size_t) {
                       ServiceReply refusal;
                       if (!error) return self->Dispatch();
                       if (ReadFailureReply(error, refusal)) return self->Refuse(std::move(refusal));
                       self->Close();
                     });
  }

  // Names the caller, or answers 401 and closes. Health probes need no
  // credentials.
  template <class Request>
  bool Authenticate(const Request& request) {
    const HttpAccess& access = shared_.access;
    caller_ = "peer:" + peer_;
    if (IsHealthProbe(path_)) return true;
    if (access.tls && !access.tls->clientCa.empty()) {
      if (certificate_.empty()) {
        Refuse(Unauthenticated("a client certificate from the service's CA is required"));
        return false;
      }
      caller_ = certificate_;
    }
    if (access.tokens) {
      const auto header = request[http::field::authorization];
      const std::string_view token = BearerTokenOf(std::string_view(header.data(), header.size()));
      if (token.empty()) {
        Refuse(Unauthenticated("an \"Authorization: Bearer TOKEN\" header is required"));
        return false;
      }
      std::string problem;
      std::string name = access.tokens->Identify(token, problem);
      if (!problem.empty()) shared_.log(problem);
      if (name.empty()) {
        Refuse(Unauthenticated("the bearer token is not one of the service's"));
        return false;
      }
      caller_ = std::move(name);
    }
    return true;
  }

  // Verification may wait on the store: it runs on a worker, and the
  // answer comes back to this connection's strand.
  void Dispatch() {
    Tcp().expires_never();
    auto request = parser_->release();
    const bool keepAlive = request.keep_alive();
    RequestRecord record;
    record.method = std::string(request.method_string());
    record.endpoint = EndpointLabel(path_);
    record.caller = caller_;
    auto work = [self = this->shared_from_this(), keepAlive, record = std::move(record),
                 body = std::move(request.body())]() mutable {
      const auto started = std::chrono::steady_clock::now();
      HttpAnswer answer =
          self->shared_.Answer(record.method, self->path_, body, self->caller_, record);
      record.time = std::chrono::system_clock::now();
      record.seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
      self->shared_.Record(record, answer);
      return std::make_pair(std::move(answer), keepAlive);
    };
    // Without workers (a store that never waits) the connection's own
    // thread verifies: two thread switches a request fewer.
    if (shared_.limits.workerThreads == 0) {
      auto [answer, keep] = work();
      return Write(std::move(answer), keep);
    }
    net::post(shared_.workers, [self = this->shared_from_this(), work = std::move(work)]() mutable {
      auto [answer, keepAlive] = work();
      net::post(self->Tcp().get_executor(),
                [self, keepAlive = keepAlive, answer = std::move(answer)]() mutable {
                  self->Write(std::move(answer), keepAlive);
                });
    });
  }

  // A request that was not read whole: answered, then the connection
  // closes, since what follows on it cannot be trusted to be a request.
  void Refuse(ServiceReply reply) {
    refused_ = true;
    RequestRecord record;
    record.time = std::chrono::system_clock::now();
    record.method = parser_ && parser_->is_header_done()
                        ? std::string(parser_->get().method_string())
                        : std::string();
    record.endpoint = EndpointLabel(path_);
    record.caller = caller_.empty() ? "peer:" + peer_ : caller_;
    HttpAnswer answer = ToHttpAnswer(reply, record);
    shared_.Record(record, answer);
    Write(std::move(answer), false);
  }

  void Write(HttpAnswer answer, bool keepAlive) {
    // Once the service stops, each answer is a connection's last.
    keepAlive = keepAlive && !shared_.stopping.load();
    response_ = {};
    response_.result(static_cast<unsigned>(answer.status));
    response_.version(11);
    response_.set(http::field::content_type, answer.contentType);
    if (answer.status == kUnauthorized && shared_.access.tokens) {
      response_.set(http::field::www_authenticate, "Bearer");
    }
    response_.keep_alive(keepAlive);
    response_.body() = std::move(answer.body);
    response_.prepare_payload();
    Tcp().expires_after(limits_.writeTimeout);
    http::async_write(stream_, response_,
                      [self = this->shared_from_this(), keepAlive](const error_code& error,
                                                                    std::size_t) {
                        if (!error && self->refused_) return self->Linger();
                        if (error || !keepAlive) return self->Close();
                        self->WaitForRequest();
                      });
  }

  // After a refusal the client may still be sending what was refused.
  // Closing with those bytes unread would reset the connection, and the
  // reset can reach the client before it reads the answer: the rest is
  // read and dropped first, for a bounded time and amount.
  void Linger() {
    if constexpr (kTls) {
      Close();
    } else {
      error_code ignored;
      Tcp().socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
      Tcp().expires_after(kLingerTime);
      Drain();
    }
  }

  void Drain() {
    buffer_.clear();
    stream_.async_read_some(buffer_.prepare(kSlack), [self = this->shared_from_this()](
                                                         const error_code& error, std::size_t n) {
      self->drained_ += n;
      if (!error && self->drained_ < kLingerBytes) self->Drain();
    });
  }

  void Close() {
    error_code ignored;
    if constexpr (kTls) {
      // A close_notify, bounded like a write; the socket goes with the
      // connection either way.
      Tcp().expires_after(limits_.writeTimeout);
      stream_.async_shutdown([self = this->shared_from_this()](const error_code&) {
        error_code ignored;
        self->Tcp().socket().shutdown(net::ip::tcp::socket::shutdown_both, ignored);
      });
    } else {
      Tcp().socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
    }
  }

  Stream stream_;
  HttpShared& shared_;
  const HttpLimits& limits_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  http::response<http::string_body> response_;
  const std::string peer_;
  std::string certificate_;
  std::string path_;
  std::string caller_;
  bool refused_ = false;
  bool idle_ = false;
  std::size_t drained_ = 0;
  std::uint64_t registration_ = 0;
};

}  // namespace

void ServeConnection(net::ip::tcp::socket socket, HttpShared& shared) {
  error_code error;
  const auto endpoint = socket.remote_endpoint(error);
  std::string peer = error ? "unknown" : endpoint.address().to_string();
  if (!shared.AdmitAddress(peer)) {
    shared.connections.fetch_sub(1);
    shared.metrics.CountRefusedConnection();
    socket.close(error);
    return;
  }
  socket.set_option(net::ip::tcp::no_delay(true), error);
  beast::tcp_stream tcp(std::move(socket));
  if (shared.tls) {
    using TlsStream = beast::ssl_stream<beast::tcp_stream>;
    std::make_shared<Connection<TlsStream>>(TlsStream(std::move(tcp), *shared.tls), shared,
                                            std::move(peer))
        ->Start();
  } else {
    std::make_shared<Connection<beast::tcp_stream>>(std::move(tcp), shared, std::move(peer))
        ->Start();
  }
}

}  // namespace zarnel::serverkit::service
