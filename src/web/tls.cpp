#include "web/tls.h"

#include <openssl/ssl.h>
#include <sys/stat.h>

#include <cstdio>

namespace vantrel::web {

namespace {

namespace ssl = boost::asio::ssl;

// Mozilla's "intermediate" profile: TLS 1.2 with forward-secret AEAD ciphers; TLS 1.3 keeps
// its own three.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305:"
    "DHE-RSA-AES128-GCM-SHA256:DHE-RSA-AES256-GCM-SHA384:DHE-RSA-CHACHA20-POLY1305";

void warn_if_readable_by_others(const std::string& key) {
  struct stat status {};
  if (stat(key.c_str(), &status) == 0 && (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    std::fprintf(stderr,
                 "vantrel-view: warning: the key file %s may be read by others than its owner; "
                 "chmod 600 it\n",
                 key.c_str());
  }
}

}  // namespace

std::shared_ptr<ssl::context> make_tls_context(const std::string& certificate,
                                               const std::string& key) {
  auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
  SSL_CTX* native = context->native_handle();
  // No compression (CRIME) and no renegotiation a client could start over and over.
  SSL_CTX_set_options(native, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                  SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_SINGLE_DH_USE);
  if (SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(native, kTls12Ciphers) != 1) {
    std::fprintf(stderr, "vantrel-view: this OpenSSL offers neither TLS 1.2 nor its ciphers\n");
    return nullptr;
  }
  boost::system::error_code error;
  context->use_certificate_chain_file(certificate, error);
  if (error) {
    std::fprintf(stderr, "vantrel-view: can't use the certificate %s: %s\n", certificate.c_str(),
                 error.message().c_str());
    return nullptr;
  }
  context->use_private_key_file(key, ssl::context::pem, error);
  if (error) {
    std::fprintf(stderr, "vantrel-view: can't use the key %s: %s\n", key.c_str(),
                 error.message().c_str());
    return nullptr;
  }
  if (SSL_CTX_check_private_key(native) != 1) {
    std::fprintf(stderr, "vantrel-view: the key %s does not belong to the certificate %s\n",
                 key.c_str(), certificate.c_str());
    return nullptr;
  }
  warn_if_readable_by_others(key);
  return context;
}

}  // namespace vantrel::web
