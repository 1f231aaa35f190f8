// Who may call the HTTP service: TLS, client certificates, bearer tokens.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "bearer_tokens.h"

namespace zarnel::serverkit::service {

struct TlsFiles {
  std::string certificateChain;  // PEM, the service's certificate first
  std::string privateKey;        // PEM
  std::string clientCa;          // PEM; empty: no client certificates
};

// Without TLS files the service speaks plain HTTP; with a client CA every
// call but the health probe needs a certificate from it; with tokens
// every call but the health probe needs one of them. With both, both.
struct HttpAccess {
  std::optional<TlsFiles> tls;
  std::shared_ptr<BearerTokens> tokens;
};

}  // namespace zarnel::serverkit::service
