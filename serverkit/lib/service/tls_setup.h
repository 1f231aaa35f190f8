// TLS for the service: OpenSSL through Asio. With a client CA the service
// asks every caller for a certificate and verifies it against that CA
// alone (the studio's own, not the public ones); the calls that change
// state then need one (see HttpService), while health probes need none.
#pragma once

#include <string>

#include <openssl/ssl.h>

#include <boost/asio/ssl/context.hpp>

#include "http_access.h"

namespace zarnel::serverkit::service {

// TLS 1.2 and newer with the certificate, key and client CA loaded and
// checked against each other. False with `error` naming the file and what
// OpenSSL said.
bool SetUpTls(const TlsFiles& files, boost::asio::ssl::context& context, std::string& error);

// "cert:" and the subject's common name of the certificate the peer of
// `ssl` presented and the handshake verified; empty when it presented
// none. A certificate without a common name is named by its whole
// subject.
std::string ClientCertificateIdentity(SSL* ssl);

}  // namespace zarnel::serverkit::service
