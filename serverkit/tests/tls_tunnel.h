// The tunnel an operator runs in front of a TLS-only Redis, since the
// store's hiredis has no TLS: socat, taking plain TCP on a free loopback
// port and speaking TLS to the server, checking its certificate and
// showing a client certificate of its own. Stopped with every connection
// it forked at the end.
#pragma once

#include <sys/types.h>

#include <string>

#include "test_certificates.h"

namespace zarnel::serverkit::testing {

struct TunnelTls {
  std::string caFile;          // whom the tunnel trusts for the server
  CertificateFiles client;     // what it shows the server
  std::string serverName;      // checked against the server's certificate; empty: 127.0.0.1
};

class TlsTunnel {
 public:
  TlsTunnel() = default;
  ~TlsTunnel();
  TlsTunnel(const TlsTunnel&) = delete;
  TlsTunnel& operator=(const TlsTunnel&) = delete;

  // socat is on the PATH.
  static bool Installed();

  // Starts socat from a free loopback port to 127.0.0.1:`serverPort` and
  // waits until that port accepts connections. It connects to the server
  // only for a connection it accepted, so a server that refuses the
  // handshake leaves the tunnel up. False with `error` set otherwise.
  bool Start(int serverPort, const TunnelTls& tls, std::string& error);
  void Stop();

  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace zarnel::serverkit::testing
