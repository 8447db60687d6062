#include "follow/tls_client.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "follow/follow.h"
#include "follow/session.h"
#include "tls/policy.h"

namespace vantrel::follow {

namespace {

constexpr int kSendTries = 10;
constexpr int kSendWaitMilliseconds = 500;

std::string openssl_reason() { return tls::openssl_reason("the connection ended"); }

// "AB:cd:..." or "abcd...", or either as `openssl x509 -noout -fingerprint -sha256` prints it
// ("sha256 Fingerprint=AB:CD:..."): 64 hexadecimal digits, in lower case, or "" when it is not
// one.
std::string normal_fingerprint(const std::string& text) {
  std::string digits;
  std::string rest = text;
  if (const std::size_t equals = rest.find('='); equals != std::string::npos) {
    std::string label = rest.substr(0, equals);
    for (char& c : label) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t start = label.find_first_not_of(' ');
    if (start == std::string::npos || label.substr(start) != "sha256 fingerprint") return "";
    rest.erase(0, equals + 1);
  }
  while (!rest.empty() && (rest.back() == ' ' || rest.back() == '\r')) rest.pop_back();
  for (const char c : rest) {
    if (c == ':') continue;
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return "";
    digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return digits.size() == 64 ? digits : "";
}

// An alert of the daemon's about the certificate it was given, or asked for and not given.
std::string certificate_alert(unsigned long code) {
  if (ERR_GET_LIB(code) != ERR_LIB_SSL) return "";
  switch (ERR_GET_REASON(code)) {
    case SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED:
      return "a certificate is required";
    case SSL_R_TLSV1_ALERT_UNKNOWN_CA:
      return "unknown CA";
    case SSL_R_SSLV3_ALERT_CERTIFICATE_EXPIRED:
      return "certificate expired";
    case SSL_R_SSLV3_ALERT_BAD_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_UNKNOWN:
    case SSL_R_SSLV3_ALERT_UNSUPPORTED_CERTIFICATE:
    case SSL_R_SSLV3_ALERT_CERTIFICATE_REVOKED:
    case SSL_R_TLSV1_ALERT_ACCESS_DENIED:
    case SSL_R_TLSV1_ALERT_DECRYPT_ERROR: {
      const char* reason = ERR_reason_error_string(code);
      return reason != nullptr ? reason : "bad certificate";
    }
    default:
      return "";
  }
}

std::string queued_certificate_alert() {
  std::string found;
  for (unsigned long code = ERR_get_error(); code != 0; code = ERR_get_error()) {
    if (found.empty()) found = certificate_alert(code);
  }
  return found;
}

std::string fingerprint_of(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1) return "";
  static const char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < size; ++i) {
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 15];
  }
  return text;
}

bool fail_setup(const std::string& path, const std::string& what) {
  std::fprintf(stderr, "vantrel-view: '%s': %s\n", path.c_str(), what.c_str());
  return false;
}

bool load_own_certificate(SSL_CTX* context, const Source& source, const std::string& path) {
  if (!source.viewer_cert && !source.viewer_key) return true;
  if (!source.viewer_cert || !source.viewer_key) {
    return fail_setup(path, "viewer_cert and viewer_key go together");
  }
  if (SSL_CTX_use_certificate_chain_file(context, source.viewer_cert->c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, source.viewer_key->c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    return fail_setup(path, "can't use viewer_cert " + *source.viewer_cert + " with viewer_key " +
                                *source.viewer_key + ": " + openssl_reason());
  }
  return true;
}

}  // namespace

bool set_up_tls(Source& source, const std::string& path) {
  const settings::Settings& settings = source.settings;
  if (settings.tls_port == 0) return true;
  if (!settings.tls_ca && !source.tls_fingerprint) {
    return fail_setup(path,
                      "tls_port needs tls_ca (the CA file) or tls_fingerprint (the "
                      "daemon certificate's SHA-256) to know the daemon by");
  }
  if (source.tls_fingerprint && normal_fingerprint(*source.tls_fingerprint).empty()) {
    return fail_setup(path,
                      "tls_fingerprint must be 64 hexadecimal digits (colons allowed), or what "
                      "openssl x509 -noout -fingerprint -sha256 prints");
  }
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (context == nullptr) return fail_setup(path, "can't set up TLS: " + openssl_reason());
  if (!tls::apply_policy(context, false)) {
    SSL_CTX_free(context);
    return fail_setup(path, "can't set up TLS: " + openssl_reason());
  }
  // A record is read with one read of all that has come, not one for its header and one for
  // the rest: a line costs one system call, as without TLS. What is read ahead shows in
  // has_pending, which the wait for input looks at.
  SSL_CTX_set_read_ahead(context, 1);
  if (settings.tls_ca &&
      SSL_CTX_load_verify_locations(context, settings.tls_ca->c_str(), nullptr) != 1) {
    SSL_CTX_free(context);
    return fail_setup(path, "can't use tls_ca " + *settings.tls_ca + ": " + openssl_reason());
  }
  if (!load_own_certificate(context, source, path)) {
    SSL_CTX_free(context);
    return false;
  }
  // A pinned fingerprint is checked once the handshake is done; the CA, by OpenSSL during it.
  SSL_CTX_set_verify(context, source.tls_fingerprint ? SSL_VERIFY_NONE : SSL_VERIFY_PEER, nullptr);
  source.tls_context = std::shared_ptr<SSL_CTX>(context, SSL_CTX_free);
  return true;
}

ssl_st* begin_tls(const Source& source, int fd, const std::string& label) {
  SSL* tls = SSL_new(source.tls_context.get());
  if (tls == nullptr || SSL_set_fd(tls, fd) != 1) {
    say(label, "can't set up TLS: %s\n", openssl_reason().c_str());
    SSL_free(tls);
    return nullptr;
  }
  const bool is_name = source.host.find_first_not_of("0123456789.") != std::string::npos;
  if (is_name) {  // the server name, as SSL_set_tlsext_host_name sends it
    SSL_ctrl(tls, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
             const_cast<char*>(source.host.c_str()));
  }
  if (!source.tls_fingerprint) {
    // The certificate must name the host connected to, as a name or an address.
    if (is_name) {
      SSL_set1_host(tls, source.host.c_str());
    } else {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls), source.host.c_str());
    }
  }
  SSL_set_connect_state(tls);
  return tls;
}

TlsStep step_tls(ssl_st* tls, const Source& source, const std::string& label) {
  ERR_clear_error();
  const int done = SSL_do_handshake(tls);
  if (done != 1) {
    const int error = SSL_get_error(tls, done);
    if (error == SSL_ERROR_WANT_READ) return TlsStep::kWantRead;
    if (error == SSL_ERROR_WANT_WRITE) return TlsStep::kWantWrite;
    const long verified = SSL_get_verify_result(tls);
    if (verified != X509_V_OK) {
      say(label, "the daemon's certificate is not the one expected: %s\n",
          X509_verify_cert_error_string(verified));
      return TlsStep::kUnverified;
    }
    // Over TLS 1.2 a daemon refuses the viewer's certificate within the handshake.
    for (const unsigned long code : {ERR_peek_error(), ERR_peek_last_error()}) {
      if (const std::string alert = certificate_alert(code); !alert.empty()) {
        say(label, "the daemon refused this viewer's certificate (viewer_cert, viewer_key): %s\n",
            alert.c_str());
        return TlsStep::kUnverified;
      }
    }
    say(label, "TLS handshake failed: %s\n", openssl_reason().c_str());
    return TlsStep::kFailed;
  }
  if (source.tls_fingerprint) {
    X509* certificate = SSL_get1_peer_certificate(tls);
    const std::string seen = certificate != nullptr ? fingerprint_of(certificate) : "";
    X509_free(certificate);
    if (seen != normal_fingerprint(*source.tls_fingerprint)) {
      say(label, "the daemon's certificate has SHA-256 fingerprint %s, not the one pinned\n",
          seen.c_str());
      return TlsStep::kUnverified;
    }
  }
  return TlsStep::kDone;
}

bool send_all(int fd, ssl_st* tls, const void* data, std::size_t size) {
  if (tls == nullptr) {
    return send(fd, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
  }
  // The descriptor does not block under TLS; a login is small, so room comes at once.
  for (int tries = 0; tries < kSendTries; ++tries) {
    ERR_clear_error();
    const int sent = SSL_write(tls, data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
    if (sent == static_cast<int>(size)) return true;
    const int error = SSL_get_error(tls, sent);
    if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) return false;
    pollfd room{fd, static_cast<short>(error == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
    poll(&room, 1, kSendWaitMilliseconds);
  }
  return false;
}

ssize_t receive_some(int fd, ssl_st* tls, void* buffer, std::size_t size) {
  if (tls == nullptr) return recv(fd, buffer, size, 0);
  ERR_clear_error();
  const int received =
      SSL_read(tls, buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
  if (received > 0) return received;
  switch (SSL_get_error(tls, received)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return kTlsNothingYet;
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    case SSL_ERROR_SYSCALL:
      return errno == 0 ? 0 : -1;
    default:
      errno = EPROTO;
      return -1;
  }
}

std::string certificate_refusal(int fd, ssl_st* tls) {
  if (tls == nullptr) return "";
  if (std::string alert = queued_certificate_alert(); !alert.empty()) return alert;
  // A daemon verifies the certificate after our side of the handshake is done, and its alert
  // may still wait to be read behind the failure it caused.
  constexpr int kAlertWaitMilliseconds = 500;
  pollfd alert{fd, POLLIN, 0};
  poll(&alert, 1, kAlertWaitMilliseconds);
  char rest[512];
  ERR_clear_error();
  if (SSL_read(tls, rest, sizeof rest) > 0) return "";
  return queued_certificate_alert();
}

bool has_pending(ssl_st* tls) { return tls != nullptr && SSL_has_pending(tls) == 1; }

void end_tls(ssl_st* tls) { SSL_free(tls); }

}  // namespace vantrel::follow
