#include "service/connection.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

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

// Partial writes are on: a call returns once one record has left, and a record the socket
// took only part of is finished by a call with the same bytes, wherever they lie by then.
ssize_t send_tls(Connection& connection, const iovec& part) {
  ERR_clear_error();
  const int size = static_cast<int>(std::min<std::size_t>(part.iov_len, INT_MAX));
  const int sent = SSL_write(connection.tls, part.iov_base, size);
  if (sent > 0) {
    connection.record_begun = false;
    return sent;
  }
  const int error = SSL_get_error(connection.tls, sent);
  if (error == SSL_ERROR_WANT_WRITE || error == SSL_ERROR_WANT_READ) {
    connection.record_begun = true;
    return 0;
  }
  errno = EPIPE;
  return -1;
}

}  // namespace

ssize_t connection_send(Connection& connection, int descriptor, const iovec* parts, int count) {
  if (connection.tls == nullptr) return send_plain(descriptor, parts, count);
  return count > 0 ? send_tls(connection, parts[0]) : 0;
}

ssize_t connection_receive(Connection& connection, int descriptor, std::uint8_t* buffer,
                           std::size_t size) {
  if (connection.tls == nullptr) return recv(descriptor, buffer, size, 0);
  ERR_clear_error();
  const int received =
      SSL_read(connection.tls, buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)));
  if (received > 0) return received;
  switch (SSL_get_error(connection.tls, received)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return kNothingYet;
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    default:
      return -1;
  }
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
