// One HTTP/1.1 exchange over a plain socket, as sent: a client library
// would neither send 70 header fields nor keep the answer's headers as
// the service wrote them.
#pragma once

#include <map>
#include <string>

namespace zarnel::serverkit::testing {

struct RawAnswer {
  int status = 0;
  std::map<std::string, std::string> headers;  // names as written
  std::string body;
};

// Sends `request` to 127.0.0.1:`port` whole, reads until the service closes
// and splits what came back; false when nothing that looks like an HTTP
// answer came.
bool ExchangeRaw(int port, const std::string& request, RawAnswer& answer);

// A request with `Connection: close`, a body as given (with its length and
// a JSON content type when not empty) and the extra header lines.
std::string RawRequest(const std::string& method, const std::string& path,
                       const std::string& body, const std::string& extraHeaderLines = "");

}  // namespace zarnel::serverkit::testing
