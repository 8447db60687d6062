// The page's TLS connection, internal to src/web: OpenSSL reads and writes the socket itself.
// A layered TLS stream keeps two record-sized buffers of its own and two more between itself and
// OpenSSL for as long as the connection lives; here OpenSSL's are the only ones, and it lets them
// go while the connection is idle, so that thousands of quiet browsers cost a few KiB each
// rather than seventy.
#pragma once

#include <openssl/ssl.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <utility>
// clang-format off
#include <boost/asio.hpp>
#include <boost/beast/core/error.hpp>
// clang-format on

namespace vantrel::web {

class TlsSocket {
 public:
  using tcp = boost::asio::ip::tcp;
  using executor_type = tcp::socket::executor_type;
  using error_code = boost::beast::error_code;

  // The socket takes part in TLS as the server, with the context's certificate.
  TlsSocket(tcp::socket socket, SSL_CTX* context);

  executor_type get_executor() { return impl_->socket.get_executor(); }
  tcp::socket& socket() { return impl_->socket; }

  // As a TCP stream's: an operation still going when the time is up closes the socket and ends
  // with a timeout; once the time is up, the next one ends so at once.
  void expires_after(std::chrono::steady_clock::duration wait);
  void expires_never();

  template <typename Handler>
  void async_handshake(Handler&& handler) {
    run(
        impl_, [](SSL* ssl, std::size_t&) { return SSL_do_handshake(ssl); },
        [handler = std::forward<Handler>(handler)](error_code error, std::size_t) mutable {
          handler(error);
        });
  }

  // The handshake met a plain HTTP request instead.
  static bool is_plain_http(const error_code& error);
  // Answers that request in plain HTTP, 400 and a sentence that says to use https, as a
  // browser would otherwise get an empty reply; then closes.
  void answer_plain_http();

  template <typename Buffers, typename Handler>
  void async_read_some(const Buffers& buffers, Handler&& handler) {
    transfer(first_of<boost::asio::mutable_buffer>(buffers), SSL_read_ex,
             std::forward<Handler>(handler));
  }

  // One record at most: whoever writes all of a buffer (asio's async_write) asks again.
  template <typename Buffers, typename Handler>
  void async_write_some(const Buffers& buffers, Handler&& handler) {
    transfer(first_of<boost::asio::const_buffer>(buffers), SSL_write_ex,
             std::forward<Handler>(handler));
  }

 private:
  struct Impl {
    Impl(tcp::socket socket, SSL_CTX* context);
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    tcp::socket socket;
    boost::asio::steady_timer timer;
    SSL* ssl = nullptr;
    int running = 0;  // operations under way, which the time limit ends
    bool expired = false;
  };

  // What an attempt that did not finish waits for: the socket readable or writable, or nothing
  // (it failed, with the error given).
  struct Outcome {
    bool wait_read = false;
    bool wait_write = false;
    error_code error;
  };
  static void before_step();
  static Outcome outcome_of(const Impl& impl, int result);
  static error_code unusable(const Impl& impl);

  template <typename Buffer, typename Buffers>
  static Buffer first_of(const Buffers& buffers) {
    for (auto part = boost::asio::buffer_sequence_begin(buffers);
         part != boost::asio::buffer_sequence_end(buffers); ++part) {
      const Buffer buffer(*part);
      if (buffer.size() > 0) return buffer;
    }
    return Buffer();
  }

  // Reads into or writes from `buffer` with OpenSSL's `call` (SSL_read_ex or SSL_write_ex).
  template <typename Buffer, typename Call, typename Handler>
  void transfer(Buffer buffer, Call call, Handler&& handler) {
    run(
        impl_,
        [buffer, call](SSL* ssl, std::size_t& done) {
          return call(ssl, buffer.data(), buffer.size(), &done);
        },
        std::forward<Handler>(handler));
  }

  // Tries the TLS step, and where it needs the socket first, waits for it and tries again.
  // A step that ends at once still ends after the caller has returned, as asio's always do.
  template <typename Attempt, typename Handler>
  static void run(std::shared_ptr<Impl> impl, Attempt attempt, Handler handler,
                  bool at_once = true) {
    Outcome outcome;
    std::size_t done = 0;
    if (const error_code error = unusable(*impl)) {
      outcome.error = error;
    } else {
      before_step();
      outcome = outcome_of(*impl, attempt(impl->ssl, done));
    }
    if (outcome.wait_read || outcome.wait_write) {
      Impl& waiting = *impl;
      ++waiting.running;
      waiting.socket.async_wait(
          outcome.wait_read ? tcp::socket::wait_read : tcp::socket::wait_write,
          [impl = std::move(impl), attempt, handler = std::move(handler)](error_code) mutable {
            --impl->running;
            run(std::move(impl), attempt, std::move(handler), false);
          });
      return;
    }
    if (!at_once) return handler(outcome.error, done);
    boost::asio::post(
        impl->socket.get_executor(),
        [handler = std::move(handler), outcome, done]() mutable { handler(outcome.error, done); });
  }

  std::shared_ptr<Impl> impl_;
};

}  // namespace vantrel::web
