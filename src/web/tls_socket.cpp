#include "web/tls_socket.h"

#include <openssl/err.h>

#include <cerrno>
#include <string>
// clang-format off
#include <boost/asio/ssl/error.hpp>
// clang-format on

namespace vantrel::web {

TlsSocket::Impl::Impl(tcp::socket socket_, SSL_CTX* context)
    : socket(std::move(socket_)), timer(socket.get_executor()), ssl(SSL_new(context)) {
  error_code ignored;
  socket.native_non_blocking(true, ignored);
  if (ssl == nullptr) return;
  if (SSL_set_fd(ssl, static_cast<int>(socket.native_handle())) != 1) {
    SSL_free(ssl);
    ssl = nullptr;
    return;
  }
  SSL_set_mode(ssl, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                        SSL_MODE_RELEASE_BUFFERS);
  SSL_set_accept_state(ssl);
}

TlsSocket::Impl::~Impl() { SSL_free(ssl); }

TlsSocket::TlsSocket(tcp::socket socket, SSL_CTX* context)
    : impl_(std::make_shared<Impl>(std::move(socket), context)) {}

void TlsSocket::expires_after(std::chrono::steady_clock::duration wait) {
  impl_->expired = false;
  impl_->timer.expires_after(wait);
  impl_->timer.async_wait([weak = std::weak_ptr<Impl>(impl_)](error_code error) {
    const std::shared_ptr<Impl> impl = weak.lock();
    if (error || !impl) return;
    impl->expired = true;
    error_code ignored;
    if (impl->running > 0) impl->socket.close(ignored);
  });
}

bool TlsSocket::is_plain_http(const error_code& error) {
  return error.category() == boost::asio::error::get_ssl_category() &&
         ERR_GET_REASON(static_cast<unsigned long>(error.value())) == SSL_R_HTTP_REQUEST;
}

void TlsSocket::answer_plain_http() {
  static const std::string kAnswer = [] {
    const std::string body = "This page is served over HTTPS: use https:// in its address.\n";
    return "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  }();
  boost::asio::async_write(impl_->socket, boost::asio::buffer(kAnswer),
                           [impl = impl_](error_code, std::size_t) {
                             error_code ignored;
                             impl->socket.shutdown(tcp::socket::shutdown_send, ignored);
                             impl->socket.close(ignored);
                           });
}

void TlsSocket::expires_never() {
  impl_->expired = false;
  impl_->timer.cancel();
}

// Why the socket can take no step: no TLS state, the time is up, or it was closed (and its
// number may already be another connection's).
TlsSocket::error_code TlsSocket::unusable(const Impl& impl) {
  if (impl.ssl == nullptr) return boost::asio::error::no_memory;
  if (impl.expired) return boost::beast::error::timeout;
  if (!impl.socket.is_open()) return boost::asio::error::bad_descriptor;
  return {};
}

// OpenSSL tells why a step failed by its error queue and errno, which must hold nothing older.
void TlsSocket::before_step() {
  ERR_clear_error();
  errno = 0;
}

TlsSocket::Outcome TlsSocket::outcome_of(const Impl& impl, int result) {
  Outcome outcome;
  if (result == 1) return outcome;
  switch (SSL_get_error(impl.ssl, result)) {
    case SSL_ERROR_WANT_READ:
      outcome.wait_read = true;
      break;
    case SSL_ERROR_WANT_WRITE:
      outcome.wait_write = true;
      break;
    case SSL_ERROR_ZERO_RETURN:
      outcome.error = boost::asio::error::eof;
      break;
    case SSL_ERROR_SYSCALL:
      outcome.error = errno != 0 ? error_code(errno, boost::system::system_category())
                                 : error_code(boost::asio::ssl::error::stream_truncated);
      break;
    default:
      outcome.error =
          error_code(static_cast<int>(ERR_get_error()), boost::asio::error::get_ssl_category());
      break;
  }
  return outcome;
}

}  // namespace vantrel::web
