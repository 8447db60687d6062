#include "service/connection.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace vantrel::service {

namespace {

ssize_t send_plain(int descriptor, std::span<const std::uint8_t> prefix,
                   std::span<const std::uint8_t> frame, std::size_t already) {
  iovec parts[2];
  std::size_t count = 0;
  if (already < prefix.size()) {
    parts[count++] = {const_cast<std::uint8_t*>(prefix.data() + already), prefix.size() - already};
  }
  const std::size_t frame_from = already > prefix.size() ? already - prefix.size() : 0;
  parts[count++] = {const_cast<std::uint8_t*>(frame.data() + frame_from),
                    frame.size() - frame_from};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = count;
  const ssize_t sent = sendmsg(descriptor, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent < 0 && errno == EAGAIN) return 0;  // EWOULDBLOCK is the same error here
  return sent;
}

// Partial writes are on: each call sends a record, and a record the socket took only part of
// is finished by a call with the same bytes, wherever they lie by then. Records go one after
// another until the socket is full, as a plain send takes all it can.
ssize_t send_tls(Connection& connection, std::span<const std::uint8_t> part) {
  const std::uint8_t* bytes = part.data();
  std::size_t sent = 0;
  while (sent < part.size()) {
    ERR_clear_error();
    const int size = static_cast<int>(std::min<std::size_t>(part.size() - sent, INT_MAX));
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

ssize_t connection_send(Connection& connection, int descriptor,
                        std::span<const std::uint8_t> prefix, std::span<std::uint8_t> frame,
                        std::size_t already) {
  if (connection.tls == nullptr) return send_plain(descriptor, prefix, frame, already);
  if (prefix.empty()) return send_tls(connection, frame.subspan(already));
  // A TLS record takes one run of bytes: the prefix goes in front of the frame (in the room past
  // its end) for the send, and the frame back after.
  std::uint8_t* start = frame.data();
  std::memmove(start + prefix.size(), start, frame.size());
  std::memcpy(start, prefix.data(), prefix.size());
  const std::size_t total = prefix.size() + frame.size();
  const ssize_t sent = send_tls(connection, {start + already, total - already});
  std::memmove(start, start + prefix.size(), frame.size());
  return sent;
}

bool must_repeat(const Connection& connection) { return connection.record_begun; }

bool is_tls(const Connection& connection) { return connection.tls != nullptr; }

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
  return connection.tls != nullptr && SSL_is_init_finished(connection.tls) == 1 &&
         SSL_has_pending(connection.tls) == 1;
}

void close_connection(Connection& connection, int descriptor) {
  if (connection.tls != nullptr) {
    // One try, never a wait; a handshake never finished has nothing to close.
    if (SSL_is_init_finished(connection.tls) == 1) SSL_shutdown(connection.tls);
    SSL_free(connection.tls);
  }
  connection = Connection{};
  close(descriptor);
}

}  // namespace vantrel::service
