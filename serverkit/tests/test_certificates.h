// Certificates for the TLS tests, made fresh for each run: a CA, a server
// certificate it signs for 127.0.0.1 and localhost, and client
// certificates it signs; a second, unrelated CA signs the "wrong" ones.
// All PEM files in a temporary folder that goes with the object.
#pragma once

#include <string>

namespace zarnel::serverkit::testing {

struct CertificateFiles {
  std::string certificate;
  std::string key;
};

class TestPki {
 public:
  // `name` is the CA's common name. Check `ok()` after construction.
  explicit TestPki(const std::string& name);
  ~TestPki();
  TestPki(const TestPki&) = delete;
  TestPki& operator=(const TestPki&) = delete;

  bool ok() const { return ok_; }
  const std::string& caFile() const { return ca_.certificate; }
  // A certificate for the service (subject alternative names 127.0.0.1
  // and localhost), signed by this CA.
  CertificateFiles Server();
  // A client certificate with common name `commonName`, signed by this CA.
  CertificateFiles Client(const std::string& commonName);

 private:
  CertificateFiles Issue(const std::string& stem, const std::string& commonName, bool server);

  std::string dir_;
  CertificateFiles ca_;
  void* caKey_ = nullptr;   // EVP_PKEY
  void* caCert_ = nullptr;  // X509
  bool ok_ = false;
  long serial_ = 1;
};

}  // namespace zarnel::serverkit::testing
