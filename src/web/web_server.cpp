// The browser viewer's HTTP side: Boost.Beast on one io_context in a thread of its own serves
// the page and one Server-Sent Events stream per browser, all from the one ring of the stream,
// however many browsers are open and however slow they read. The same code serves plain HTTP
// and HTTPS, templated on the stream.
#include <csignal>
// Boost 1.74's asio uses std::exchange without including <utility>.
#include <utility>
// clang-format off
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
// clang-format on
#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "viewer/merged_output.h"
#include "web/auth.h"
#include "web/tls.h"
#include "web/web.h"
#include "web/web_stream.h"

namespace vantrel::web {

extern const char* const kWebPage;  // the page, built in from web_page.html

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using PlainStream = beast::tcp_stream;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

// The most one write to a browser carries: with thousands of browsers, what they have not yet
// taken stays in the ring, and each holds no more than this of its own.
constexpr std::size_t kWriteBytes = std::size_t{16} << 10;
// A request's header: at most this long, and read (with the TLS handshake) within this time.
constexpr std::uint32_t kHeaderBytes = 8 << 10;
constexpr std::chrono::seconds kRequestTime{5};
// Requests being read at once, past which a connection is closed at once.
constexpr std::size_t kPendingRequests = 1024;
// A quiet stream gets a comment this often, so that a proxy keeps it open.
constexpr std::chrono::seconds kHeartbeat{15};
// A browser that takes nothing of a write for this long has its stream closed.
constexpr std::chrono::seconds kWriteTime{60};
constexpr int kRetryAfterSeconds = 10;
constexpr int kSendBufferBytes = 64 << 10;

// Headers on every response: the page fetches nothing from elsewhere, nothing may frame it,
// and nothing is shared with other origins.
void add_security_headers(http::fields& fields) {
  fields.set("Content-Security-Policy",
             "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
             "connect-src 'self'; img-src data:; base-uri 'none'; form-action 'none'; "
             "frame-ancestors 'none'");
  fields.set("X-Content-Type-Options", "nosniff");
  fields.set("Referrer-Policy", "no-referrer");
}

template <typename Stream>
tcp::socket& socket_of(Stream& stream) {
  return beast::get_lowest_layer(stream).socket();
}

template <typename Stream>
std::string describe(Stream& stream) {
  beast::error_code ignored;
  const tcp::endpoint peer = socket_of(stream).remote_endpoint(ignored);
  return peer.address().to_string() + ":" + std::to_string(peer.port());
}

template <typename Stream>
std::string address_of(Stream& stream) {
  beast::error_code ignored;
  return socket_of(stream).remote_endpoint(ignored).address().to_string();
}

// Events once made for a stretch of the stream, by the position they start at, so that
// browsers that stand at one position (all those caught up, or a crowd that came at once) share
// one encoding of it.
struct EncodedEvents {
  std::uint64_t end = 0;  // the position after them
  std::shared_ptr<const std::string> text;
};
// Encodings kept, shared out among the channels so that many channels cost no more in all.
constexpr std::size_t kEncodedKept = 256;
constexpr std::size_t kFewestEncodedKept = 8;

// A stream browsers can follow: its ring, and the events once made of it.
struct Channel {
  StreamRing ring;
  std::map<std::uint64_t, EncodedEvents> encoded;  // the server's thread's alone
  std::size_t encoded_kept = kEncodedKept;
  bool lines = false;  // merged: whole lines, each behind its source's number
};

// One source as the page knows it.
struct SourceState {
  Channel channel;
  SourceStatus status;
  viewer::LineSplitter splitter;  // its unfinished line, not yet in the merged channel
};

// With several sources, each ring's share of the memory, within these bounds; the merged
// channel has a ring of its own.
constexpr std::size_t kSourceRingsBytes = std::size_t{32} << 20;
constexpr std::size_t kSmallestRing = std::size_t{256} << 10;
constexpr std::size_t kMergedRingBytes = std::size_t{8} << 20;
constexpr std::size_t kMergedNumberBase = 0x80;

// With several sources, each channel's share: theirs and the merged one's.
std::size_t share_of_encodings(std::size_t sources) {
  return std::max(kEncodedKept / (sources + 1), kFewestEncodedKept);
}

// What the connections to the daemons and the server's thread share.
struct Shared {
  std::mutex lock;
  std::vector<std::unique_ptr<SourceState>> sources;
  Channel merged;                    // with several sources: all their lines in arrival order
  std::uint64_t status_version = 1;  // moves on with every change of a status
  std::uint64_t lines_told = 0;      // the line counts' sum in the last status

  bool several() const { return sources.size() > 1; }

  std::string status_text() const {
    if (!several()) {
      const SourceStatus& status = sources[0]->status;
      return status_event(status.connected, status.file, status.dropped);
    }
    std::vector<SourceStatus> all(sources.size());
    std::ranges::transform(sources, all.begin(), [](const auto& state) { return state->status; });
    return sources_event(all);
  }

  // A line of source `index` in the merged channel: the source's number, the line, a newline.
  // The number is 0x80 plus the index, never a newline, so that a line end is always one.
  void add_merged_line(std::size_t index, std::string_view line) {
    const auto number = static_cast<std::uint8_t>(kMergedNumberBase + index);
    append_to_ring(merged.ring, &number, 1);
    append_to_ring(merged.ring, reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
    append_to_ring(merged.ring, reinterpret_cast<const std::uint8_t*>("\n"), 1);
  }
};

class Stream {
 public:
  virtual ~Stream() = default;
  virtual void pump() = 0;
  virtual void heartbeat(Clock::time_point now) = 0;
  virtual bool ended() const = 0;
};

template <typename Transport>
class EventStream : public Stream, public std::enable_shared_from_this<EventStream<Transport>> {
 public:
  EventStream(Transport transport, std::shared_ptr<ssl::context> context, Shared& shared,
              Channel& channel, const std::optional<std::string>& last_event_id)
      : context_(std::move(context)),
        transport_(std::move(transport)),
        shared_(shared),
        channel_(channel),
        peer_(describe(transport_)) {
    const std::lock_guard<std::mutex> hold(shared_.lock);
    if (!last_event_id) {
      position_ = start_position(channel_.ring);
      return;
    }
    bool unknown_gap = false;
    position_ = resume_position(channel_.ring, *last_event_id, unknown_gap);
    if (unknown_gap) first_ = gap_event(channel_.ring, position_, std::nullopt);
  }

  void start() {
    std::fprintf(stderr, "vantrel-view: browser %s connected\n", peer_.c_str());
    http::response<http::empty_body> header{http::status::ok, 11};
    header.set(http::field::content_type, "text/event-stream");
    header.set(http::field::cache_control, "no-cache");
    header.set("X-Accel-Buffering", "no");  // a proxy in front passes events on at once
    add_security_headers(header);
    header.keep_alive(false);
    std::ostringstream text;
    text << header.base() << first_;
    write(text.str(), nullptr);
    notice_leaving();
  }

  // Writes what the browser has not seen yet, one write at a time.
  void pump() override {
    if (writing_ || ended_) return;
    std::string status;
    std::shared_ptr<const std::string> events;
    {
      const std::lock_guard<std::mutex> hold(shared_.lock);
      // A browser that fell more than the ring behind is closed, not queued for: it comes back
      // by itself, and learns of the gap then.
      if (sent_any_ && has_fallen_behind(channel_.ring, position_)) return end();
      if (status_sent_ != shared_.status_version) {
        status = shared_.status_text();
        status_sent_ = shared_.status_version;
      }
      events = encoded_events();
    }
    if (status.empty() && !events) return;
    sent_any_ = true;
    write(std::move(status), std::move(events));
  }

  void heartbeat(Clock::time_point now) override {
    if (!writing_ && !ended_ && now - last_write_ >= kHeartbeat) write(": quiet\n\n", nullptr);
  }

  bool ended() const override { return ended_; }

 private:
  // The events that bring this browser on from its position, made once for every browser at
  // that position. Under the shared lock.
  std::shared_ptr<const std::string> encoded_events() {
    auto& encoded = channel_.encoded;
    const auto found = encoded.find(position_);
    if (found != encoded.end()) {
      position_ = found->second.end;
      return found->second.text;
    }
    const std::uint64_t from = position_;
    auto text = std::make_shared<const std::string>(
        next_events(channel_.ring, position_, kWriteBytes, channel_.lines));
    if (text->empty()) return nullptr;
    if (encoded.size() >= channel_.encoded_kept) encoded.erase(encoded.begin());
    encoded[from] = EncodedEvents{position_, text};
    return text;
  }

  void write(std::string text, std::shared_ptr<const std::string> events) {
    out_ = std::move(text);
    events_ = std::move(events);
    writing_ = true;
    last_write_ = Clock::now();
    beast::get_lowest_layer(transport_).expires_after(kWriteTime);
    // No empty buffer: a TLS stream writes the first buffer of what it is given, and an empty
    // one would stall the write.
    std::vector<asio::const_buffer> parts;
    if (!out_.empty()) parts.push_back(asio::buffer(out_));
    if (events_) parts.push_back(asio::buffer(*events_));
    asio::async_write(transport_, parts,
                      [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                        self->writing_ = false;
                        if (error) return self->end();
                        self->pump();
                      });
  }

  // A browser sends nothing on its event stream: anything to read (the end, a reset, TLS's
  // closing alert) is the browser leaving. The wait is on the socket itself, beside the stream:
  // a read pending on the stream would take the write's time limit as its own and end every
  // stream that limit after it began.
  void notice_leaving() {
    socket_of(transport_)
        .async_wait(tcp::socket::wait_read,
                    [self = this->shared_from_this()](beast::error_code) { self->end(); });
  }

  void end() {
    if (ended_) return;
    ended_ = true;
    beast::error_code ignored;
    socket_of(transport_).shutdown(tcp::socket::shutdown_both, ignored);
    socket_of(transport_).close(ignored);
    std::fprintf(stderr, "vantrel-view: browser %s left\n", peer_.c_str());
  }

  std::shared_ptr<ssl::context> context_;  // outlives the TLS stream that refers to it
  Transport transport_;
  Shared& shared_;
  Channel& channel_;
  std::string peer_;
  std::uint64_t position_ = 0;
  std::string first_;  // a gap the browser is told of before anything else
  std::uint64_t status_sent_ = 0;
  std::string out_;                            // the header, a status or a comment
  std::shared_ptr<const std::string> events_;  // log events, shared with other browsers
  Clock::time_point last_write_{};
  bool writing_ = false;
  bool sent_any_ = false;
  bool ended_ = false;
};

class WebServer;

// One HTTP connection: its TLS handshake, its request, and the answer: the page, the event
// stream, or an error. Every connection serves one request and is closed.
template <typename Transport>
class Request : public std::enable_shared_from_this<Request<Transport>> {
 public:
  Request(Transport transport, std::shared_ptr<ssl::context> context, WebServer& server)
      : context_(std::move(context)), transport_(std::move(transport)), server_(server) {
    parser_.header_limit(kHeaderBytes);
    parser_.body_limit(0);
  }
  ~Request();

  void start() {
    beast::get_lowest_layer(transport_).expires_after(kRequestTime);
    if constexpr (std::is_same_v<Transport, TlsStream>) {
      transport_.async_handshake(ssl::stream_base::server,
                                 [self = this->shared_from_this()](beast::error_code error) {
                                   if (!error) self->read();
                                 });
    } else {
      read();
    }
  }

 private:
  void read() {
    http::async_read(transport_, buffer_, parser_,
                     [self = this->shared_from_this()](beast::error_code error, std::size_t) {
                       if (!error) self->answer();
                     });
  }

  void answer();
  bool authorized();

  // The browser's address: the peer's, or behind a proxy on this machine the one it names in
  // X-Real-IP, so that one guesser is not everyone's throttle.
  std::string client_address() {
    std::string address = address_of(transport_);
    const auto named = parser_.get().find("X-Real-IP");
    if (address.starts_with("127.") && named != parser_.get().end() && named->value().size() < 64) {
      address = std::string(named->value());
    }
    return address;
  }

  void reply(http::status status, const std::string& type, std::string body,
             const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    const http::request<http::empty_body>& request = parser_.get();
    auto response = std::make_shared<http::response<http::string_body>>(status, request.version());
    response->set(http::field::content_type, type);
    response->set(http::field::cache_control, "no-store");
    add_security_headers(*response);
    for (const auto& [name, value] : extra) response->set(name, value);
    response->body() = request.method() == http::verb::head ? std::string() : std::move(body);
    response->keep_alive(false);
    response->prepare_payload();
    http::async_write(transport_, *response,
                      [self = this->shared_from_this(), response](beast::error_code, std::size_t) {
                        beast::error_code ignored;
                        socket_of(self->transport_).shutdown(tcp::socket::shutdown_send, ignored);
                      });
  }

  std::shared_ptr<ssl::context> context_;
  Transport transport_;
  WebServer& server_;
  beast::flat_buffer buffer_;
  http::request_parser<http::empty_body> parser_;
};

class WebServer;

// One source's stream into the page.
class SourceSink : public viewer::Sink {
 public:
  SourceSink(WebServer& server, std::size_t index) : server_(server), index_(index) {}
  std::size_t push(const std::uint8_t* data, std::size_t size) override;
  bool failed() override { return false; }
  bool is_standard_output() const override { return false; }
  void placed(const codec::Notice& notice) override;
  std::optional<std::uint64_t> first_bytes() const override;
  void connection_changed(bool connected) override;
  void following(const std::string& file) override;
  void dropped(std::uint64_t bytes) override;

 private:
  WebServer& server_;
  std::size_t index_;
};

class WebServer : public viewer::Outputs {
 public:
  WebServer(const WebOptions& options, const std::vector<std::string>& names) : options_(options) {
    const std::size_t ring =
        names.size() == 1 ? kRingBytes
                          : std::clamp(kSourceRingsBytes / names.size(), kSmallestRing, kRingBytes);
    for (std::size_t i = 0; i < names.size(); ++i) {
      auto state = std::make_unique<SourceState>();
      state->status.name = names[i];
      state->channel.ring.capacity = ring;
      if (names.size() > 1) state->channel.encoded_kept = share_of_encodings(names.size());
      shared_.sources.push_back(std::move(state));
      sinks_.push_back(std::make_unique<SourceSink>(*this, i));
    }
    shared_.merged.ring.capacity = kMergedRingBytes;
    shared_.merged.encoded_kept = share_of_encodings(names.size());
    shared_.merged.lines = true;
  }

  viewer::Sink& source(std::size_t index) override { return *sinks_[index]; }

  bool listen() {
    if (options_.tls_cert) {
      tls_ = make_tls_context(*options_.tls_cert, *options_.tls_key);
      if (!tls_) return false;
    }
    beast::error_code error;
    const tcp::endpoint endpoint(asio::ip::make_address(options_.address, error), options_.port);
    if (error) {
      std::fprintf(stderr, "vantrel-view: not an address to serve on: '%s'\n",
                   options_.address.c_str());
      return false;
    }
    acceptor_.open(endpoint.protocol(), error);
    if (!error) acceptor_.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) acceptor_.bind(endpoint, error);
    if (!error) acceptor_.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
      std::fprintf(stderr, "vantrel-view: serve on %s:%u: %s\n", options_.address.c_str(),
                   unsigned{options_.port}, error.message().c_str());
      return false;
    }
    const tcp::endpoint bound = acceptor_.local_endpoint(error);
    std::fprintf(stderr, "vantrel-view: the page is at %s://%s:%u%s\n", tls_ ? "https" : "http",
                 options_.address.c_str(), unsigned{bound.port()}, options_.base.c_str());
    accept();
    beat();
    if (tls_) reload_on_hangup();
    thread_ = std::thread([this] { context_.run(); });
    return true;
  }

  ~WebServer() override {
    context_.stop();
    if (thread_.joinable()) thread_.join();
  }

  std::size_t push(std::size_t index, const std::uint8_t* data, std::size_t size) {
    {
      const std::lock_guard<std::mutex> hold(shared_.lock);
      SourceState& state = *shared_.sources[index];
      append_to_ring(state.channel.ring, data, size);
      state.status.lines += static_cast<std::uint64_t>(std::count(data, data + size, '\n'));
      if (shared_.several()) {
        viewer::split_lines(state.splitter,
                            std::string_view(reinterpret_cast<const char*>(data), size),
                            Clock::now(), [&](std::string_view line, Clock::time_point) {
                              shared_.add_merged_line(index, line);
                            });
      }
    }
    wake_streams();
    return 0;
  }

  void place(std::size_t index, const codec::Notice& notice) {
    {
      const std::lock_guard<std::mutex> hold(shared_.lock);
      place_ring(shared_.sources[index]->channel.ring, notice);
    }
    wake_streams();
  }

  std::size_t ring_capacity(std::size_t index) {
    const std::lock_guard<std::mutex> hold(shared_.lock);
    return shared_.sources[index]->channel.ring.capacity;
  }

  template <typename Change>
  void change_status(std::size_t index, Change change) {
    {
      const std::lock_guard<std::mutex> hold(shared_.lock);
      change(shared_.sources[index]->status);
      ++shared_.status_version;
    }
    wake_streams();
  }

  // ---- in the server's thread ----

  const WebOptions& options() const { return options_; }
  Throttle& throttle() { return throttle_; }
  std::string realm() {
    const std::lock_guard<std::mutex> hold(shared_.lock);
    if (shared_.several()) return "vantrel: " + std::to_string(shared_.sources.size()) + " logs";
    const std::string& file = shared_.sources[0]->status.file;
    const std::string& log = file.empty() ? options_.log_name : file;
    return "vantrel: " + (log.empty() ? std::string("the log") : log);
  }

  // The channel a path names: "events", or with several sources "events/NAME" too.
  Channel* channel_for(const std::string& path) {
    if (path == "events") return shared_.several() ? &shared_.merged : &shared_.sources[0]->channel;
    if (!shared_.several() || !path.starts_with("events/")) return nullptr;
    for (const auto& state : shared_.sources) {
      if (path.compare(7, std::string::npos, state->status.name) == 0) return &state->channel;
    }
    return nullptr;
  }
  void request_ended() { --pending_requests_; }

  // Whether one more browser may open a stream.
  bool has_room() {
    std::erase_if(streams_, [](const std::shared_ptr<Stream>& s) { return s->ended(); });
    return streams_.size() < options_.browsers;
  }

  template <typename Transport>
  void open_stream(Transport transport, std::shared_ptr<ssl::context> tls, Channel& channel,
                   const std::optional<std::string>& last_event_id) {
    beast::get_lowest_layer(transport).expires_never();
    // What a browser has not taken waits in the ring, not in the kernel: a small send buffer
    // lets a browser that stops reading cost little, and stop costing early.
    beast::error_code ignored;
    socket_of(transport).set_option(asio::socket_base::send_buffer_size(kSendBufferBytes), ignored);
    auto stream = std::make_shared<EventStream<Transport>>(std::move(transport), std::move(tls),
                                                           shared_, channel, last_event_id);
    streams_.push_back(stream);
    stream->start();
  }

 private:
  // Many pushes before the server's thread gets to them make one round of writes.
  void wake_streams() {
    if (wake_posted_.exchange(true)) return;
    asio::post(context_, [this] {
      wake_posted_ = false;
      std::erase_if(streams_, [](const std::shared_ptr<Stream>& s) { return s->ended(); });
      for (const std::shared_ptr<Stream>& stream : streams_) stream->pump();
    });
  }

  void accept() {
    acceptor_.async_accept([this](beast::error_code error, tcp::socket socket) {
      if (!error) serve(std::move(socket));
      accept();
    });
  }

  void serve(tcp::socket socket) {
    if (pending_requests_ >= kPendingRequests) return;  // closed as it goes out of scope
    ++pending_requests_;
    if (tls_) {
      std::make_shared<Request<TlsStream>>(TlsStream(std::move(socket), *tls_), tls_, *this)
          ->start();
    } else {
      std::make_shared<Request<PlainStream>>(PlainStream(std::move(socket)), nullptr, *this)
          ->start();
    }
  }

  void beat() {
    heartbeat_.expires_after(std::chrono::seconds{1});
    heartbeat_.async_wait([this](beast::error_code error) {
      if (error) return;
      const Clock::time_point now = Clock::now();
      if (take_waiting_lines(now)) wake_streams();
      for (const std::shared_ptr<Stream>& stream : streams_) stream->heartbeat(now);
      beat();
    });
  }

  // With several sources: unfinished lines that waited long enough join the merged channel,
  // and the line counts, which change with every line, are told once a second at most.
  bool take_waiting_lines(Clock::time_point now) {
    const std::lock_guard<std::mutex> hold(shared_.lock);
    if (!shared_.several()) return false;
    std::uint64_t lines = 0;
    const std::uint64_t merged_end = shared_.merged.ring.end;
    for (std::size_t i = 0; i < shared_.sources.size(); ++i) {
      SourceState& state = *shared_.sources[i];
      viewer::take_waiting_line(state.splitter, now, [&](std::string_view line, Clock::time_point) {
        shared_.add_merged_line(i, line);
      });
      lines += state.status.lines;
    }
    const bool told = lines != shared_.lines_told;
    if (told) {
      shared_.lines_told = lines;
      ++shared_.status_version;
    }
    return told || merged_end != shared_.merged.ring.end;
  }

  // A renewed certificate (certbot's, say) is read again on SIGHUP. Streams open keep the
  // context they were made with; new connections get the new one.
  void reload_on_hangup() {
    hangup_.async_wait([this](beast::error_code error, int) {
      if (error) return;
      if (auto renewed = make_tls_context(*options_.tls_cert, *options_.tls_key)) {
        tls_ = std::move(renewed);
        std::fprintf(stderr, "vantrel-view: read the certificate and key again\n");
      }
      reload_on_hangup();
    });
  }

  WebOptions options_;
  asio::io_context context_;
  tcp::acceptor acceptor_{context_};
  asio::steady_timer heartbeat_{context_};
  asio::signal_set hangup_{context_, SIGHUP};
  std::thread thread_;
  Shared shared_;
  std::vector<std::unique_ptr<SourceSink>> sinks_;
  std::shared_ptr<ssl::context> tls_;
  Throttle throttle_;
  std::size_t pending_requests_ = 0;
  // The open streams, kept alive here while they wait for more; the server's thread's alone.
  std::vector<std::shared_ptr<Stream>> streams_;
  std::atomic<bool> wake_posted_{false};
};

std::size_t SourceSink::push(const std::uint8_t* data, std::size_t size) {
  return server_.push(index_, data, size);
}
void SourceSink::placed(const codec::Notice& notice) { server_.place(index_, notice); }
// A viewer that starts fills its ring from the daemon's log, so that browsers that come from
// another viewer, or from before a restart, find what they last saw.
std::optional<std::uint64_t> SourceSink::first_bytes() const {
  return server_.ring_capacity(index_);
}
void SourceSink::connection_changed(bool connected) {
  server_.change_status(index_, [&](SourceStatus& status) { status.connected = connected; });
}
void SourceSink::following(const std::string& file) {
  server_.change_status(index_, [&](SourceStatus& status) { status.file = file; });
}
void SourceSink::dropped(std::uint64_t bytes) {
  server_.change_status(index_, [&](SourceStatus& status) { status.dropped += bytes; });
}

template <typename Transport>
Request<Transport>::~Request() {
  server_.request_ended();
}

// Basic authentication, when a password is set. A failure is logged with the address, and an
// address that keeps failing waits longer and longer before its next try.
template <typename Transport>
bool Request<Transport>::authorized() {
  const WebOptions& options = server_.options();
  if (!options.password) return true;
  const std::string address = client_address();
  const auto now = ThrottleClock::now();
  if (const auto wait = wait_before_try(server_.throttle(), address, now); wait.count() > 0) {
    reply(http::status::too_many_requests, "text/plain", "too many wrong passwords; wait\n",
          {{"Retry-After", std::to_string(wait.count())}});
    return false;
  }
  const auto header = parser_.get().find(http::field::authorization);
  const std::optional<Credentials> given =
      header == parser_.get().end() ? std::nullopt
                                    : parse_basic_credentials(std::string_view(
                                          header->value().data(), header->value().size()));
  // User and password are compared together, so that neither tells which was wrong.
  if (given &&
      same_secret(given->user + ":" + given->password, options.user + ":" + *options.password)) {
    note_success(server_.throttle(), address);
    return true;
  }
  if (given) {
    const int failures = note_failure(server_.throttle(), address, now);
    std::fprintf(stderr, "vantrel-view: wrong user or password from %s (%d in a row)\n",
                 address.c_str(), failures);
  }
  reply(http::status::unauthorized, "text/plain", "a user and password are needed\n",
        {{"WWW-Authenticate", "Basic realm=\"" + server_.realm() + "\", charset=\"UTF-8\""}});
  return false;
}

template <typename Transport>
void Request<Transport>::answer() {
  const http::request<http::empty_body>& request = parser_.get();
  if (request.method() != http::verb::get && request.method() != http::verb::head) {
    return reply(http::status::method_not_allowed, "text/plain", "read-only: GET only\n");
  }
  const std::string& base = server_.options().base;
  const std::string whole_target(request.target());
  const std::string target = whole_target.substr(0, whole_target.find('?'));
  if (target + "/" == base) {
    return reply(http::status::moved_permanently, "text/plain", "", {{"Location", base}});
  }
  if (!target.starts_with(base)) return reply(http::status::not_found, "text/plain", "not found\n");
  if (!authorized()) return;
  const std::string path = target.substr(base.size());
  if (path.empty() || path == "index.html") {
    return reply(http::status::ok, "text/html; charset=utf-8", kWebPage);
  }
  if (Channel* channel = server_.channel_for(path)) {
    if (!server_.has_room()) {
      return reply(http::status::service_unavailable, "text/plain", "too many browsers\n",
                   {{"Retry-After", std::to_string(kRetryAfterSeconds)}});
    }
    std::optional<std::string> last_event_id;
    const auto header = request.find("Last-Event-ID");
    if (header != request.end()) last_event_id = std::string(header->value());
    return server_.open_stream(std::move(transport_), std::move(context_), *channel, last_event_id);
  }
  reply(http::status::not_found, "text/plain", "not found\n");
}

}  // namespace

std::unique_ptr<viewer::Outputs> start_web_output(const WebOptions& options,
                                                  const std::vector<std::string>& names) {
  auto server = std::make_unique<WebServer>(options, names);
  if (!server->listen()) return nullptr;
  return server;
}

}  // namespace vantrel::web
