// What the page's server shares between its parts, internal to src/web: the streams it serves
// (plain and TLS), its limits, and the headers every response carries.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
// Boost 1.74's asio uses std::exchange without including <utility>.
#include <utility>
// clang-format off
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/asio/ssl/context.hpp>
// clang-format on

#include "web/tls_socket.h"

namespace vantrel::web {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using PlainTransport = beast::tcp_stream;
using TlsTransport = TlsSocket;

// The most one write to a browser carries: with thousands of browsers, what they have not yet
// taken stays in the ring, and each holds no more than this of its own.
inline constexpr std::size_t kWriteBytes = std::size_t{16} << 10;
// A request's header: at most this long, and read (with the TLS handshake) within this time.
inline constexpr std::uint32_t kHeaderBytes = 8 << 10;
inline constexpr std::chrono::seconds kRequestTime{5};
// Requests being read at once, past which a connection is closed at once.
inline constexpr std::size_t kPendingRequests = 1024;
// A quiet stream gets a comment this often, so that a proxy keeps it open.
inline constexpr std::chrono::seconds kHeartbeat{15};
// A browser that takes nothing of a write for this long has its stream closed.
inline constexpr std::chrono::seconds kWriteTime{60};
inline constexpr int kRetryAfterSeconds = 10;
inline constexpr int kSendBufferBytes = 64 << 10;

// Headers on every response: the page fetches nothing from elsewhere, nothing may frame it,
// and nothing is shared with other origins.
inline void add_security_headers(http::fields& fields) {
  fields.set("Content-Security-Policy",
             "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
             "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
             "frame-ancestors 'none'");
  fields.set("X-Content-Type-Options", "nosniff");
  fields.set("Referrer-Policy", "no-referrer");
}

template <typename Transport>
tcp::socket& socket_of(Transport& transport) {
  return beast::get_lowest_layer(transport).socket();
}

template <typename Transport>
std::string describe(Transport& transport) {
  beast::error_code ignored;
  const tcp::endpoint peer = socket_of(transport).remote_endpoint(ignored);
  return peer.address().to_string() + ":" + std::to_string(peer.port());
}

template <typename Transport>
std::string address_of(Transport& transport) {
  beast::error_code ignored;
  return socket_of(transport).remote_endpoint(ignored).address().to_string();
}

// Events once made for a stretch of the stream, by the position they start at, so that

}  // namespace vantrel::web
