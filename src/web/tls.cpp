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
  boost::system::error_code error;
  context->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                           ssl::context::no_sslv3 | ssl::context::no_tlsv1 |
                           ssl::context::no_tlsv1_1 | ssl::context::single_dh_use,
                       error);
  SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
  SSL_CTX_set_cipher_list(context->native_handle(), kTls12Ciphers);
  if (!error) context->use_certificate_chain_file(certificate, error);
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
  warn_if_readable_by_others(key);
  return context;
}

}  // namespace vantrel::web
