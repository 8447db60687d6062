// The browser viewer's HTTP side: Boost.Beast on one io_context in a thread of its own serves
// the page and one Server-Sent Events stream per browser, all from the one ring of the stream,
// however many browsers are open and however slow they read.
#include "viewer/web_server.h"

// Boost 1.74's asio uses std::exchange without including <utility>.
#include <utility>
// clang-format off
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
// clang-format on
#include <array>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "viewer/web_stream.h"

namespace vantrel::viewer {

extern const char* const kWebPage;  // the page, built in from web_page.html

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// The most one write to a browser carries.
constexpr std::size_t kWriteBytes = std::size_t{256} << 10;

std::string describe(const tcp::socket& socket) {
  beast::error_code ignored;
  const tcp::endpoint peer = socket.remote_endpoint(ignored);
  return peer.address().to_string() + ":" + std::to_string(peer.port());
}

// What the connection to the daemon and the server's thread share.
struct Shared {
  std::mutex lock;
  StreamRing ring;
  bool connected = false;
  std::string file;
  std::uint64_t dropped = 0;
  std::uint64_t status_version = 1;  // moves on with every change of the three above
};

class EventStream : public std::enable_shared_from_this<EventStream> {
 public:
  EventStream(tcp::socket socket, Shared& shared, std::optional<std::uint64_t> last_event_id)
      : socket_(std::move(socket)), shared_(shared), peer_(describe(socket_)) {
    const std::lock_guard<std::mutex> hold(shared_.lock);
    position_ = start_position(shared_.ring, last_event_id);
  }

  void start() {
    std::fprintf(stderr, "vantrel-view: browser %s connected\n", peer_.c_str());
    header_.result(http::status::ok);
    header_.set(http::field::content_type, "text/event-stream");
    header_.set(http::field::cache_control, "no-cache");
    header_.keep_alive(true);
    serializer_.emplace(header_);
    http::async_write_header(socket_, *serializer_,
                             [self = shared_from_this()](beast::error_code error, std::size_t) {
                               if (error) return self->end();
                               self->started_ = true;
                               self->notice_leaving();
                               self->pump();
                             });
  }

  // Writes what the browser has not seen yet, one write at a time.
  void pump() {
    if (!started_ || writing_ || ended_) return;
    {
      const std::lock_guard<std::mutex> hold(shared_.lock);
      // A browser that fell more than the ring behind is closed, not queued for: it comes back
      // by itself, and learns of the gap then.
      if (sent_any_ && has_fallen_behind(shared_.ring, position_)) return end();
      out_.clear();
      if (status_sent_ != shared_.status_version) {
        out_ += status_event(shared_.connected, shared_.file, shared_.dropped);
        status_sent_ = shared_.status_version;
      }
      out_ += next_events(shared_.ring, position_, kWriteBytes);
    }
    if (out_.empty()) return;
    sent_any_ = true;
    writing_ = true;
    asio::async_write(socket_, asio::buffer(out_),
                      [self = shared_from_this()](beast::error_code error, std::size_t) {
                        self->writing_ = false;
                        if (error) return self->end();
                        self->pump();
                      });
  }

  bool ended() const { return ended_; }

 private:
  // A browser sends nothing on its event stream: a read that ends is the browser leaving.
  void notice_leaving() {
    socket_.async_read_some(asio::buffer(scratch_),
                            [self = shared_from_this()](beast::error_code error, std::size_t) {
                              if (error) return self->end();
                              self->notice_leaving();
                            });
  }

  void end() {
    if (ended_) return;
    ended_ = true;
    beast::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    std::fprintf(stderr, "vantrel-view: browser %s left\n", peer_.c_str());
  }

  tcp::socket socket_;
  Shared& shared_;
  std::string peer_;
  std::uint64_t position_ = 0;
  std::uint64_t status_sent_ = 0;
  http::response<http::empty_body> header_;
  std::optional<http::response_serializer<http::empty_body>> serializer_;
  std::string out_;
  std::array<char, 64> scratch_{};
  bool started_ = false;
  bool writing_ = false;
  bool sent_any_ = false;
  bool ended_ = false;
};

class WebServer;

// One HTTP connection: its request, answered with the page, the event stream, or an error.
class Request : public std::enable_shared_from_this<Request> {
 public:
  Request(tcp::socket socket, WebServer& server) : socket_(std::move(socket)), server_(server) {}
  void start() {
    http::async_read(socket_, buffer_, request_,
                     [self = shared_from_this()](beast::error_code error, std::size_t) {
                       if (!error) self->answer();
                     });
  }

 private:
  void answer();
  void reply(http::status status, const std::string& type, std::string body) {
    auto response = std::make_shared<http::response<http::string_body>>(status, request_.version());
    response->set(http::field::content_type, type);
    response->set(http::field::cache_control, "no-store");
    // The page fetches nothing from elsewhere, and nothing may frame it.
    response->set("Content-Security-Policy",
                  "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
                  "connect-src 'self'; img-src data:; frame-ancestors 'none'");
    response->set("X-Content-Type-Options", "nosniff");
    response->body() = std::move(body);
    response->keep_alive(false);
    response->prepare_payload();
    http::async_write(socket_, *response,
                      [self = shared_from_this(), response](beast::error_code, std::size_t) {
                        beast::error_code ignored;
                        self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
                      });
  }

  tcp::socket socket_;
  WebServer& server_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
};

class WebServer : public Sink {
 public:
  bool listen(const std::string& address, std::uint16_t port) {
    beast::error_code error;
    const tcp::endpoint endpoint(asio::ip::make_address(address, error), port);
    if (error) {
      std::fprintf(stderr, "vantrel-view: not an address to serve on: '%s'\n", address.c_str());
      return false;
    }
    acceptor_.open(endpoint.protocol(), error);
    if (!error) acceptor_.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) acceptor_.bind(endpoint, error);
    if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
      std::fprintf(stderr, "vantrel-view: serve on %s:%u: %s\n", address.c_str(), unsigned{port},
                   error.message().c_str());
      return false;
    }
    const tcp::endpoint bound = acceptor_.local_endpoint(error);
    std::fprintf(stderr, "vantrel-view: the page is at http://%s:%u/\n", address.c_str(),
                 unsigned{bound.port()});
    accept();
    thread_ = std::thread([this] { context_.run(); });
    return true;
  }

  ~WebServer() override {
    context_.stop();
    if (thread_.joinable()) thread_.join();
  }

  std::size_t push(const std::uint8_t* data, std::size_t size) override {
    {
      const std::lock_guard<std::mutex> hold(shared_.lock);
      append_to_ring(shared_.ring, data, size);
    }
    wake_streams();
    return 0;
  }
  bool failed() override { return false; }
  bool is_standard_output() const override { return false; }
  void connection_changed(bool connected) override {
    change_status([&] { shared_.connected = connected; });
  }
  void following(const std::string& file) override {
    change_status([&] { shared_.file = file; });
  }
  void dropped(std::uint64_t bytes) override {
    change_status([&] { shared_.dropped += bytes; });
  }

  // In the server's thread: a request for the event stream.
  void open_stream(tcp::socket socket, std::optional<std::uint64_t> last_event_id) {
    auto stream = std::make_shared<EventStream>(std::move(socket), shared_, last_event_id);
    std::erase_if(streams_, [](const std::shared_ptr<EventStream>& s) { return s->ended(); });
    streams_.push_back(stream);
    stream->start();
  }

 private:
  template <typename Change>
  void change_status(Change change) {
    {
      const std::lock_guard<std::mutex> hold(shared_.lock);
      change();
      ++shared_.status_version;
    }
    wake_streams();
  }

  // Many pushes before the server's thread gets to them make one round of writes.
  void wake_streams() {
    if (wake_posted_.exchange(true)) return;
    asio::post(context_, [this] {
      wake_posted_ = false;
      std::erase_if(streams_, [](const std::shared_ptr<EventStream>& s) { return s->ended(); });
      for (const std::shared_ptr<EventStream>& stream : streams_) stream->pump();
    });
  }

  void accept() {
    acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) {
      if (!error) std::make_shared<Request>(std::move(socket), *this)->start();
      accept();
    });
  }

  asio::io_context context_;
  tcp::acceptor acceptor_{context_};
  std::thread thread_;
  Shared shared_;
  // The open streams, kept alive here while they wait for more; the server's thread's alone.
  std::vector<std::shared_ptr<EventStream>> streams_;
  std::atomic<bool> wake_posted_{false};
};

void Request::answer() {
  if (request_.method() != http::verb::get && request_.method() != http::verb::head) {
    return reply(http::status::method_not_allowed, "text/plain", "read-only: GET only\n");
  }
  const std::string target(request_.target());
  if (target == "/" || target == "/index.html") {
    return reply(http::status::ok, "text/html; charset=utf-8", kWebPage);
  }
  if (target == "/events") {
    std::optional<std::uint64_t> last_event_id;
    const auto header = request_.find("Last-Event-ID");
    if (header != request_.end()) last_event_id = parse_event_id(std::string(header->value()));
    return server_.open_stream(std::move(socket_), last_event_id);
  }
  reply(http::status::not_found, "text/plain", "not found\n");
}

}  // namespace

std::unique_ptr<Sink> start_web_output(const std::string& address, std::uint16_t port) {
  auto server = std::make_unique<WebServer>();
  if (!server->listen(address, port)) return nullptr;
  return server;
}

}  // namespace vantrel::viewer
