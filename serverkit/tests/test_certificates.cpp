#include "test_certificates.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace zarnel::serverkit::testing {

namespace {

EVP_PKEY* NewKey() { return EVP_EC_gen("P-256"); }

bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
  if (extension == nullptr) return false;
  const bool added = X509_add_ext(cert, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

X509* NewCertificate(long serial, const std::string& commonName, EVP_PKEY* key) {
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 24 * 3600);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                             reinterpret_cast<const unsigned char*>(commonName.c_str()), -1, -1, 0);
  return cert;
}

bool WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  const bool written = cert != nullptr ? PEM_write_X509(file, cert) == 1
                                       : PEM_write_PrivateKey(file, key, nullptr, nullptr, 0,
                                                              nullptr, nullptr) == 1;
  return std::fclose(file) == 0 && written;
}

}  // namespace

TestPki::TestPki(const std::string& name) {
  char folder[] = "/tmp/zarnel-pki-XXXXXX";
  if (mkdtemp(folder) == nullptr) return;
  dir_ = folder;
  EVP_PKEY* key = NewKey();
  X509* cert = key == nullptr ? nullptr : NewCertificate(serial_++, name, key);
  if (cert == nullptr) return;
  caKey_ = key;
  caCert_ = cert;
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  ca_ = {dir_ + "/ca.pem", dir_ + "/ca-key.pem"};
  ok_ = AddExtension(cert, cert, NID_basic_constraints, "critical,CA:TRUE") &&
        AddExtension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign") &&
        AddExtension(cert, cert, NID_subject_key_identifier, "hash") &&
        X509_sign(cert, key, EVP_sha256()) > 0 && WritePem(ca_.certificate, cert, nullptr) &&
        WritePem(ca_.key, nullptr, key);
}

TestPki::~TestPki() {
  EVP_PKEY_free(static_cast<EVP_PKEY*>(caKey_));
  X509_free(static_cast<X509*>(caCert_));
  if (!dir_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
}

CertificateFiles TestPki::Server() { return Issue("server", "zarnel-verify test service", true); }

CertificateFiles TestPki::Client(const std::string& commonName) {
  return Issue("client-" + std::to_string(serial_), commonName, false);
}

CertificateFiles TestPki::Issue(const std::string& stem, const std::string& commonName,
                                bool server) {
  CertificateFiles files{dir_ + "/" + stem + ".pem", dir_ + "/" + stem + "-key.pem"};
  if (!ok_) return {};
  auto* caCert = static_cast<X509*>(caCert_);
  EVP_PKEY* key = NewKey();
  X509* cert = key == nullptr ? nullptr : NewCertificate(serial_++, commonName, key);
  bool made = cert != nullptr;
  if (made) {
    X509_set_issuer_name(cert, X509_get_subject_name(caCert));
    made = AddExtension(cert, caCert, NID_basic_constraints, "critical,CA:FALSE") &&
           AddExtension(cert, caCert, NID_ext_key_usage, server ? "serverAuth" : "clientAuth") &&
           (!server ||
            AddExtension(cert, caCert, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost")) &&
           X509_sign(cert, static_cast<EVP_PKEY*>(caKey_), EVP_sha256()) > 0 &&
           WritePem(files.certificate, cert, nullptr) && WritePem(files.key, nullptr, key);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return made ? files : CertificateFiles{};
}

}  // namespace zarnel::serverkit::testing
