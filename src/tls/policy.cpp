#include "tls/policy.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/stat.h>

namespace vantrel::tls {

namespace {

constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:ECDHE-ECDSA-AES256-GCM-SHA384:"
    "ECDHE-RSA-AES256-GCM-SHA384:ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

}  // namespace

bool apply_policy(SSL_CTX* context, bool server) {
  SSL_CTX_set_options(context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                   (server ? SSL_OP_CIPHER_SERVER_PREFERENCE : 0));
  return SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) == 1 &&
         SSL_CTX_set_cipher_list(context, kTls12Ciphers) == 1;
}

std::string openssl_reason(const char* if_none) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return if_none;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

bool key_file_too_open(const std::string& path, mode_t allowed) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 && (status.st_mode & (S_IRWXG | S_IRWXO) & ~allowed) != 0;
}

}  // namespace vantrel::tls
