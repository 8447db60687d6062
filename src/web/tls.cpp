#include "web/tls.h"

#include <openssl/ssl.h>

#include <cstdio>

#include "tls/policy.h"

namespace vantrel::web {

namespace {

namespace ssl = boost::asio::ssl;

void warn_if_readable_by_others(const std::string& key) {
  // Unlike the daemon's, whose key its unit's group shares, the page's key is its owner's
  // alone: the relay runs as one user and nothing else reads its key.
  if (tls::key_file_too_open(key, 0)) {
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
  if (!tls::apply_policy(native, true)) {
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
