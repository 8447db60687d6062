// The browser viewer's HTTP side: Boost.Beast on one io_context in a thread of its own serves
// the page and one Server-Sent Events feed per browser, all from the one ring of each log,
// however many browsers are open and however slow they read. The same code serves plain HTTP
// and HTTPS, templated on the transport. Here: the server's lifetime, its listener and timers,
// and the sinks the connections to the daemons write into; the channels, the browsers' feeds,
// the events and the requests have files of their own.
#include <csignal>
// Boost 1.74's asio uses std::exchange without including <utility>.
#include <utility>
// clang-format off
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/asio/ssl/context.hpp>
// clang-format on
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "follow/fetch.h"
#include "follow/lines.h"
#include "notify/notify.h"
#include "web/browser_feed.h"
#include "web/channels.h"
#include "web/events.h"
#include "web/metrics.h"
#include "web/request.h"
#include "web/ring.h"
#include "web/tls.h"
#include "web/transport.h"
#include "web/web.h"
#include "web/whole_stream.h"

namespace vantrel::web {

namespace {

class WebServer;

// One source's stream into the page.
class SourceSink : public follow::Sink {
 public:
  SourceSink(WebServer& server, std::size_t index) : server_(server), index_(index) {}
  void push(const std::uint8_t* data, std::size_t size) override;
  bool failed() override { return false; }
  bool is_standard_output() const override { return false; }
  void placed(const codec::Notice& notice) override;
  std::optional<std::uint64_t> first_bytes() const override;
  void connection_changed(bool connected) override;
  void following(const std::string& file) override;

 private:
  WebServer& server_;
  std::size_t index_;
};

class WebServer : public follow::Outputs, public Routes {
 public:
  WebServer(const WebOptions& options, const std::vector<std::string>& names,
            const std::vector<follow::Source>& sources)
      : options_(options), sources_(sources) {
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
    shared_.merged.index = std::make_unique<MergedIndex>(make_merged_index(names));
  }

  follow::Sink& source(std::size_t index) override { return *sinks_[index]; }

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
    io_->acceptor.open(endpoint.protocol(), error);
    if (!error) io_->acceptor.set_option(asio::socket_base::reuse_address(true), error);
    if (!error) io_->acceptor.bind(endpoint, error);
    if (!error) io_->acceptor.listen(asio::socket_base::max_listen_connections, error);
    if (error) {
      std::fprintf(stderr, "vantrel-view: serve on %s:%u: %s\n", options_.address.c_str(),
                   unsigned{options_.port}, error.message().c_str());
      return false;
    }
    // Over plain HTTP, SIGHUP keeps its usual meaning: it ends the viewer. Over HTTPS it is
    // caught before the page is announced, so that one sent as soon as it is never ends it.
    if (tls_) {
      io_->hangup.add(SIGHUP);
      reload_on_hangup();
    }
    const tcp::endpoint bound = io_->acceptor.local_endpoint(error);
    // With a password, the user name it goes with: the browser asks for both.
    const std::string login =
        options_.password ? " (user name \"" + options_.user + "\" and the web_password)" : "";
    std::fprintf(stderr, "vantrel-view: the page is at %s://%s:%u%s%s\n", tls_ ? "https" : "http",
                 options_.address.c_str(), unsigned{bound.port()}, options_.base.c_str(),
                 login.c_str());
    notify::ready();  // under systemd: the page is served
    watchdog_ = notify::watchdog_interval().has_value();
    accept();
    beat();
    thread_ = std::thread([this] { io_->context.run(); });
    return true;
  }

  ~WebServer() override {
    io_->context.stop();
    if (thread_.joinable()) thread_.join();
    browsers_.clear();
    io_.reset();
  }

  void push(std::size_t index, const std::uint8_t* data, std::size_t size) {
    {
      const std::lock_guard<std::mutex> hold(shared_.lock);
      SourceState& state = *shared_.sources[index];
      append_to_ring(state.channel.ring, data, size);
      state.status.lines += static_cast<std::uint64_t>(std::count(data, data + size, '\n'));
      if (shared_.several()) {
        follow::split_lines(
            state.splitter, std::string_view(reinterpret_cast<const char*>(data), size),
            Clock::now(), [&](std::string_view line, Clock::time_point, bool ended) {
              shared_.add_merged_line(index, line, ended);
            });
      }
    }
    wake_browsers();
  }

  void place(std::size_t index, const codec::Notice& notice) {
    {
      const std::lock_guard<std::mutex> hold(shared_.lock);
      SourceState& state = *shared_.sources[index];
      place_ring(state.channel.ring, notice);
      if (shared_.several()) place_merged(index, state, notice);
    }
    wake_browsers();
  }

  // The merged channel learns where the source's stream stands; a gap comes after the source's
  // half line, which goes in as it is.
  void place_merged(std::size_t index, SourceState& state, const codec::Notice& notice) {
    MergedIndex& merged = *shared_.merged.index;
    const auto number = static_cast<std::uint32_t>(index);
    if (codec::is_gap(notice)) {
      if (!state.splitter.partial.empty())
        shared_.add_merged_line(index, state.splitter.partial, false);
      state.splitter.partial.clear();
      append_merged_gap(shared_.merged.ring, merged, number,
                        notice.skipped == codec::kUnknownSkip
                            ? std::nullopt
                            : std::optional<std::uint64_t>(notice.skipped));
    }
    place_merged_source(merged, number, state.channel.ring.end, notice);
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
    wake_browsers();
  }

  // ---- in the server's thread ----

  const WebOptions& options() const override { return options_; }
  Throttle& throttle() override { return throttle_; }
  std::string realm() override {
    const std::lock_guard<std::mutex> hold(shared_.lock);
    if (shared_.several()) return "vantrel: " + std::to_string(shared_.sources.size()) + " logs";
    const std::string& file = shared_.sources[0]->status.file;
    const std::string& log = file.empty() ? options_.log_name : file;
    return "vantrel: " + (log.empty() ? std::string("the log") : log);
  }

  // The channel a path names: "events", or with several sources "events/NAME" too.
  Channel* channel_for(const std::string& path) override {
    if (path == "events") return shared_.several() ? &shared_.merged : &shared_.sources[0]->channel;
    if (!shared_.several() || !path.starts_with("events/")) return nullptr;
    for (const auto& state : shared_.sources) {
      if (path.compare(7, std::string::npos, state->status.name) == 0) return &state->channel;
    }
    return nullptr;
  }
  void request_ended() override { --pending_requests_; }

  bool has_room() override {
    forget_ended_browsers();
    return browsers_.size() < options_.browsers;
  }

  void open_feed(PlainTransport transport, Channel& channel,
                 const std::optional<std::string>& last_event_id) override {
    open_feed_of(std::move(transport), channel, last_event_id);
  }
  void open_feed(TlsTransport transport, Channel& channel,
                 const std::optional<std::string>& last_event_id) override {
    open_feed_of(std::move(transport), channel, last_event_id);
  }

  bool has_source(const std::string& name) override { return source_named(name) != nullptr; }
  bool has_whole_room() override { return whole_running_ < kMostWholeAtOnce; }
  void open_whole(PlainTransport transport, WholeQuery query, const std::string& address) override {
    open_whole_of(std::move(transport), std::move(query), address);
  }
  void open_whole(TlsTransport transport, WholeQuery query, const std::string& address) override {
    open_whole_of(std::move(transport), std::move(query), address);
  }
  RelayCounters& counters() override { return shared_.counters; }
  void open_metrics(PlainTransport transport) override { open_metrics_of(std::move(transport)); }
  void open_metrics(TlsTransport transport) override { open_metrics_of(std::move(transport)); }

 private:
  void forget_ended_browsers() {
    std::erase_if(browsers_, [](const std::shared_ptr<Browser>& b) { return b->ended(); });
  }

  const follow::Source* source_named(const std::string& name) const {
    if (name.empty()) return &sources_.front();
    const auto named = std::ranges::find(sources_, name, &follow::Source::name);
    return named == sources_.end() ? nullptr : &*named;
  }

  // One search per browser at a time: a newer one from the same address ends the one before.
  template <typename Transport>
  void open_whole_of(Transport transport, WholeQuery query, const std::string& address) {
    beast::get_lowest_layer(transport).expires_never();
    auto flow = std::make_shared<WholeFlow>();
    if (query.kind == WholeQuery::Kind::kSearch) {
      if (const auto before = searches_[address].lock()) before->stop();
      searches_[address] = flow;
    }
    ++whole_running_;
    const follow::Source& daemon = *source_named(query.source);
    start_whole(io_->context, std::move(transport), daemon, std::move(query), flow, [this] {
      --whole_running_;
      std::erase_if(searches_, [](const auto& entry) { return entry.second.expired(); });
    });
  }

  // What the relay knows is taken now, on the server's thread; the daemons' counters are asked
  // for in the answer's thread, one daemon after another.
  template <typename Transport>
  void open_metrics_of(Transport transport) {
    beast::get_lowest_layer(transport).expires_never();
    forget_ended_browsers();
    std::vector<SourceMetrics> sources = ring_metrics();
    ++whole_running_;
    start_answer(
        io_->context, std::move(transport), std::make_shared<WholeFlow>(),
        [this, relay = shared_.counters, browsers = browsers_.size(),
         sources = std::move(sources)](const Emit& emit) mutable {
          for (std::size_t i = 0; i < sources.size(); ++i) {
            std::string problem;
            sources[i].counters = follow::fetch_counters(sources_[i], problem);
          }
          emit(ok_header("text/plain; version=0.0.4; charset=utf-8") +
               metrics_text(relay, browsers, sources));
        },
        [this] { --whole_running_; });
  }

  std::vector<SourceMetrics> ring_metrics() {
    const std::lock_guard<std::mutex> hold(shared_.lock);
    std::vector<SourceMetrics> sources;
    for (std::size_t i = 0; i < shared_.sources.size(); ++i) {
      const LogRing& ring = shared_.sources[i]->channel.ring;
      const std::string& name = shared_.sources[i]->status.name;
      sources.push_back(
          SourceMetrics{name.empty() ? sources_[i].host : name, std::nullopt,
                        static_cast<std::size_t>(std::min<std::uint64_t>(ring.end, ring.capacity)),
                        ring.capacity});
    }
    return sources;
  }

  template <typename Transport>
  void open_feed_of(Transport transport, Channel& channel,
                    const std::optional<std::string>& last_event_id) {
    beast::get_lowest_layer(transport).expires_never();
    // What a browser has not taken waits in the ring, not in the kernel: a small send buffer
    // lets a browser that stops reading cost little, and stop costing early.
    beast::error_code ignored;
    socket_of(transport).set_option(asio::socket_base::send_buffer_size(kSendBufferBytes), ignored);
    auto feed = std::make_shared<BrowserFeed<Transport>>(std::move(transport), shared_, channel,
                                                         last_event_id);
    ++shared_.counters.browsers_total;
    browsers_.push_back(feed);
    feed->start();
  }

  // Many pushes before the server's thread gets to them make one round of writes.
  void wake_browsers() {
    if (wake_posted_.exchange(true)) return;
    asio::post(io_->context, [this] {
      wake_posted_ = false;
      forget_ended_browsers();
      for (const std::shared_ptr<Browser>& browser : browsers_) browser->pump();
    });
  }

  void accept() {
    io_->acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
      if (!error) serve(std::move(socket));
      accept();
    });
  }

  void serve(tcp::socket socket) {
    if (pending_requests_ >= kPendingRequests) return;  // closed as it goes out of scope
    ++pending_requests_;
    if (tls_) {
      std::make_shared<Request<TlsTransport>>(
          TlsTransport(std::move(socket), tls_->native_handle()), *this)
          ->start();
    } else {
      std::make_shared<Request<PlainTransport>>(PlainTransport(std::move(socket)), *this)->start();
    }
  }

  void beat() {
    io_->heartbeat.expires_after(std::chrono::seconds{1});
    io_->heartbeat.async_wait([this](beast::error_code error) {
      if (error) return;
      const Clock::time_point now = Clock::now();
      if (take_waiting_lines(now)) wake_browsers();
      for (const std::shared_ptr<Browser>& browser : browsers_) browser->heartbeat(now);
      tell_systemd();
      beat();
    });
  }

  // Once a second, from the thread that serves the browsers: the watchdog's ping (its
  // WatchdogSec must be 2 s at least), and the browsers' count when it changed.
  void tell_systemd() {
    if (watchdog_) notify::watchdog();
    if (browsers_.size() == told_browsers_) return;
    told_browsers_ = browsers_.size();
    notify::status(std::to_string(told_browsers_) +
                   (told_browsers_ == 1 ? " browser" : " browsers"));
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
      follow::take_waiting_line(state.splitter, now, [&](std::string_view line, Clock::time_point) {
        shared_.add_merged_line(i, line, false);
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
    io_->hangup.async_wait([this](beast::error_code error, int) {
      if (error) return;
      if (auto renewed = make_tls_context(*options_.tls_cert, *options_.tls_key)) {
        tls_ = std::move(renewed);
        std::fprintf(stderr, "vantrel-view: read the certificate and key again\n");
      }
      reload_on_hangup();
    });
  }

  WebOptions options_;
  const std::vector<follow::Source>& sources_;
  // Requests of the whole log running, and each browser's search; the server's thread's alone.
  int whole_running_ = 0;
  std::map<std::string, std::weak_ptr<WholeFlow>> searches_;
  // The io_context and what waits on it, in one piece: at the end it goes first, and with it
  // every handler still pending (requests and streams that refer to this server), while the
  // server's other members are still there.
  struct Io {
    asio::io_context context;
    tcp::acceptor acceptor{context};
    asio::steady_timer heartbeat{context};
    asio::signal_set hangup{context};  // SIGHUP only where there is a certificate to read again
  };
  std::unique_ptr<Io> io_ = std::make_unique<Io>();
  std::thread thread_;
  Shared shared_;
  std::vector<std::unique_ptr<SourceSink>> sinks_;
  std::shared_ptr<ssl::context> tls_;
  Throttle throttle_;
  std::size_t pending_requests_ = 0;
  // The browsers' feeds, kept alive here while they wait for more; the server's thread's alone.
  std::vector<std::shared_ptr<Browser>> browsers_;
  bool watchdog_ = false;                        // the unit sets WatchdogSec: ping it once a second
  std::size_t told_browsers_ = ~std::size_t{0};  // the count systemd was told last
  std::atomic<bool> wake_posted_{false};
};

void SourceSink::push(const std::uint8_t* data, std::size_t size) {
  server_.push(index_, data, size);
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

}  // namespace

std::unique_ptr<follow::Outputs> start_web_output(const WebOptions& options,
                                                  const std::vector<follow::Source>& sources) {
  std::vector<std::string> names(sources.size());
  std::ranges::transform(sources, names.begin(), &follow::Source::name);
  auto server = std::make_unique<WebServer>(options, names, sources);
  if (!server->listen()) return nullptr;
  return server;
}

}  // namespace vantrel::web
