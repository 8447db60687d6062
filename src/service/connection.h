// A viewer's connection: plain TCP, or TLS over it. The daemon sends to a viewer and receives
// from it only through these, so that the rest of it deals in descriptors and bytes whichever
// kind the connection is.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

struct ssl_st;
struct ssl_ctx_st;

namespace vantrel::service {

// The certificates TLS connections are made with; each connection keeps a reference of its own.
struct TlsContextFree {
  void operator()(ssl_ctx_st* context) const;
};
using TlsContext = std::unique_ptr<ssl_ctx_st, TlsContextFree>;

struct Connection {
  ssl_st* tls = nullptr;  // null: plain TCP
  // TLS: a record was begun and the socket took only part of it. The next send must offer the
  // same bytes again; the daemon never moves on to other bytes meanwhile. Ask must_repeat.
  bool record_begun = false;
  bool wants_room = false;  // the handshake waits for room in the socket, not for bytes
  std::chrono::steady_clock::time_point deadline{};  // of the handshake
  char peer[32] = {};                                // "ADDRESS:PORT", for reports
};

// What a receive that found no bytes for the daemon returns: TLS read only its own records.
inline constexpr ssize_t kNothingYet = -2;

// Sends without waiting what is left, from wire byte `already` on, of `prefix` followed by
// `frame`. Returns the bytes sent, 0 when the socket takes none now, or -1 after a failure.
// TLS takes the two as one run of bytes: where there is a prefix, the frame's buffer must have
// room for prefix.size() more bytes past its end, which the send uses and gives back.
ssize_t connection_send(Connection& connection, int descriptor,
                        std::span<const std::uint8_t> prefix, std::span<std::uint8_t> frame,
                        std::size_t already);

// TLS began a record that the socket took only part of: the next send must offer the same
// bytes again, whatever else waits.
bool must_repeat(const Connection& connection);

bool is_tls(const Connection& connection);

// Receives into `buffer`. Returns the bytes received, 0 when the peer closed, -1 after a
// failure, or kNothingYet.
ssize_t connection_receive(Connection& connection, int descriptor, std::uint8_t* buffer,
                           std::size_t size);

// TLS has bytes already read and decrypted, which no wait on the socket would announce.
bool has_buffered_bytes(const Connection& connection);

// Ends the connection (TLS says so first, without waiting) and closes the descriptor.
void close_connection(Connection& connection, int descriptor);

}  // namespace vantrel::service
