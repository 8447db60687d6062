#include "service/connection.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace vantrel::service {

namespace {

ssize_t send_plain(int descriptor, const iovec* parts, int count) {
  msghdr message{};
  message.msg_iov = const_cast<iovec*>(parts);
  message.msg_iovlen = static_cast<std::size_t>(count);
  const ssize_t sent = sendmsg(descriptor, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent < 0 && errno == EAGAIN) return 0;  // EWOULDBLOCK is the same error here
  return sent;
}

// Partial writes are on: each call sends a record, and a record the socket took only part of
// is finished by a call with the same bytes, wherever they lie by then. Records go one after
// another until the socket is full, as a plain send takes all it can.
ssize_t send_tls(Connection& connection, const iovec& part) {
  const auto* bytes = static_cast<const std::uint8_t*>(part.iov_base);
  std::size_t sent = 0;
  while (sent < part.iov_len) {
    ERR_clear_error();
    const int size = static_cast<int>(std::min<std::size_t>(part.iov_len - sent, INT_MAX));
    const int written = SSL_write(connection.tls, bytes + sent, size);
    if (written > 0) {
      connection.record_begun = false;
      sent += static_cast<std::size_t>(written);
      continue;
    }
    const int error = SSL_get_error(connection.tls, written);
    if (error != SSL_ERROR_WANT_WRITE && error != SSL_ERROR_WANT_READ) {
      errno = EPIPE;
      return -1;
    }
    connection.record_begun = true;
    break;
  }
  return static_cast<ssize_t>(sent);
}

}  // namespace

void TlsContextFree::operator()(ssl_ctx_st* context) const { SSL_CTX_free(context); }

ssize_t connection_send(Connection& connection, int descriptor, const iovec* parts, int count) {
  if (connection.tls == nullptr) return send_plain(descriptor, parts, count);
  return count > 0 ? send_tls(connection, parts[0]) : 0;
}

ssize_t connection_receive(Connection& connection, int descriptor, std::uint8_t* buffer,
                           std::size_t size) {
  if (connection.tls == nullptr) return recv(descriptor, buffer, size, 0);
  // A receive takes what has come, as a plain one does, not one record of it: a message the
  // viewer sent at once is read at once.
  std::size_t taken = 0;
  while (taken < size) {
    ERR_clear_error();
    const int received = SSL_read(connection.tls, buffer + taken,
                                  static_cast<int>(std::min<std::size_t>(size - taken, INT_MAX)));
    if (received > 0) {
      taken += static_cast<std::size_t>(received);
      continue;
    }
    const int error = SSL_get_error(connection.tls, received);
    if (taken > 0) break;  // what came is read; an end or a failure shows at the next receive
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return kNothingYet;
    return error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
  }
  return static_cast<ssize_t>(taken);
}

bool has_buffered_bytes(const Connection& connection) {
  return connection.tls != nullptr && !connection.handshaking &&
         SSL_has_pending(connection.tls) == 1;
}

void close_connection(Connection& connection, int descriptor) {
  if (connection.tls != nullptr) {
    if (!connection.handshaking) SSL_shutdown(connection.tls);  // one try, never a wait
    SSL_free(connection.tls);
  }
  connection = Connection{};
  close(descriptor);
}

}  // namespace vantrel::service
