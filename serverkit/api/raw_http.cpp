#include "raw_http.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>

#include "loopback.h"

namespace zarnel::serverkit::testing {

bool ExchangeRaw(int port, const std::string& request, RawAnswer& answer) {
  answer = RawAnswer{};
  const int fd = ConnectLoopback(port, 20);
  std::string received;
  if (fd >= 0) {
    // A refused request is answered before the rest is read; a send that
    // then fails is no fault of the exchange.
    for (std::size_t sent = 0; sent < request.size();) {
      const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    char chunk[4096];
    for (ssize_t got; (got = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) received.append(chunk, got);
    ::close(fd);
  }

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
