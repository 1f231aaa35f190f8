#include "tls_setup.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace zarnel::serverkit::service {

namespace {

std::string OpenSslError() {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "no reason given";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

bool Fail(std::string& error, const std::string& what) {
  error = what + ": " + OpenSslError();
  return false;
}

}  // namespace

bool SetUpTls(const TlsFiles& files, boost::asio::ssl::context& context, std::string& error) {
  SSL_CTX* ctx = context.native_handle();
  ERR_clear_error();
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1) {
    return Fail(error, "cannot require TLS 1.2");
  }
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                               SSL_OP_CIPHER_SERVER_PREFERENCE);
  if (SSL_CTX_use_certificate_chain_file(ctx, files.certificateChain.c_str()) != 1) {
    return Fail(error, "cannot use the certificate " + files.certificateChain);
  }
  if (SSL_CTX_use_PrivateKey_file(ctx, files.privateKey.c_str(), SSL_FILETYPE_PEM) != 1) {
    return Fail(error, "cannot use the private key " + files.privateKey);
  }
  if (SSL_CTX_check_private_key(ctx) != 1) {
    return Fail(error, "the private key " + files.privateKey + " is not the certificate's");
  }
  if (files.clientCa.empty()) return true;
  if (SSL_CTX_load_verify_locations(ctx, files.clientCa.c_str(), nullptr) != 1) {
    return Fail(error, "cannot use the client CA " + files.clientCa);
  }
  STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(files.clientCa.c_str());
  if (names == nullptr) return Fail(error, "no CA certificate in " + files.clientCa);
  SSL_CTX_set_client_CA_list(ctx, names);
  // Asked for, verified against this CA alone (never the system's trust
  // store) when sent, but not required at the handshake: a health probe
  // connects without one, and a call that needs one is refused by name
  // instead of with a bare handshake alert. A certificate from another CA
  // ends the handshake.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  return true;
}

std::string ClientCertificateIdentity(SSL* ssl) {
  X509* peer = SSL_get0_peer_certificate(ssl);
  if (peer == nullptr || SSL_get_verify_result(ssl) != X509_V_OK) return {};
  const X509_NAME* subject = X509_get_subject_name(peer);
  char name[256] = {};
  if (X509_NAME_get_text_by_NID(const_cast<X509_NAME*>(subject), NID_commonName, name,
                                sizeof name) > 0) {
    return std::string("cert:") + name;
  }
  char* whole = X509_NAME_oneline(subject, nullptr, 0);
  if (whole == nullptr) return {};
  std::string identity = std::string("cert:") + whole;
  OPENSSL_free(whole);
  return identity;
}

}  // namespace zarnel::serverkit::service
