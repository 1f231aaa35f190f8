#include "raw_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace zarnel::serverkit::testing {

bool ExchangeRaw(int port, const std::string& request, RawAnswer& answer) {
  answer = RawAnswer{};
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // Bounds the wait on a service that would never answer; not a measure.
  timeval limit{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  std::string received;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    // A refused request is answered before the rest is read; a send that
    // then fails is no fault of the exchange.
    for (std::size_t sent = 0; sent < request.size();) {
      const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    char chunk[4096];
    for (ssize_t got; (got = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) received.append(chunk, got);
  }
  ::close(fd);

  const std::size_t headerEnd = received.find("\r\n\r\n");
  if (received.rfind("HTTP/1.1 ", 0) != 0 || headerEnd == std::string::npos) return false;
  answer.status = std::atoi(received.c_str() + 9);
  std::size_t line = received.find("\r\n") + 2;
  while (line < headerEnd) {
    const std::size_t next = received.find("\r\n", line);
    const std::string field = received.substr(line, next - line);
    const std::size_t colon = field.find(':');
    if (colon != std::string::npos) {
      const std::size_t value = field.find_first_not_of(' ', colon + 1);
      answer.headers[field.substr(0, colon)] =
          value == std::string::npos ? "" : field.substr(value);
    }
    line = next + 2;
  }
  answer.body = received.substr(headerEnd + 4);
  return answer.status > 0;
}

std::string RawRequest(const std::string& method, const std::string& path,
                       const std::string& body, const std::string& extraHeaderLines) {
  std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  request += "Connection: close\r\n";
  if (!body.empty()) {
    request += "Content-Type: application/json\r\n";
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  request += extraHeaderLines;
  request += "\r\n";
  return request + body;
}

}  // namespace zarnel::serverkit::testing
