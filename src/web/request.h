// One HTTP connection, internal to src/web: its TLS handshake, its request, the password
// check, and the answer it routes to: the page, an event stream, or an error. It asks the
// server behind `Routes` for what only the server knows.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "web/auth.h"
#include "web/channels.h"
#include "web/metrics.h"
#include "web/transport.h"
#include "web/web_options.h"
#include "web/whole_query.h"

namespace vantrel::web {

extern const char* const kWebPage;  // the page, built in from web_page.html

// What a request needs of the server.
class Routes {
 public:
  virtual ~Routes() = default;
  virtual const WebOptions& options() const = 0;
  virtual Throttle& throttle() = 0;
  // The password prompt's realm: it names the log.
  virtual std::string realm() = 0;
  // The channel a path names, if any.
  virtual Channel* channel_for(const std::string& path) = 0;
  // Whether one more browser may open a stream.
  virtual bool has_room() = 0;
  virtual void request_ended() = 0;
  virtual void open_feed(PlainTransport transport, Channel& channel,
                         const std::optional<std::string>& last_event_id) = 0;
  virtual void open_feed(TlsTransport transport, Channel& channel,
                         const std::optional<std::string>& last_event_id) = 0;
  // The whole log: whether the page follows a source of that name ("": the first), whether one
  // more request of it may run now, and running one for the browser at `address`.
  virtual bool has_source(const std::string& name) = 0;
  virtual bool has_whole_room() = 0;
  virtual void open_whole(PlainTransport transport, WholeQuery query,
                          const std::string& address) = 0;
  virtual void open_whole(TlsTransport transport, WholeQuery query, const std::string& address) = 0;
  // /metrics: the relay's counters and each daemon's, fetched as a request of the whole log is.
  virtual RelayCounters& counters() = 0;
  virtual void open_metrics(PlainTransport transport) = 0;
  virtual void open_metrics(TlsTransport transport) = 0;
};

// One HTTP connection: its TLS handshake, its request, and the answer: the page, the event
// stream, or an error. Every connection serves one request and is closed.
template <typename Transport>
class Request : public std::enable_shared_from_this<Request<Transport>> {
 public:
  Request(Transport transport, Routes& server) : transport_(std::move(transport)), server_(server) {
    parser_.header_limit(kHeaderBytes);
    parser_.body_limit(0);
  }
  ~Request();

  void start() {
    beast::get_lowest_layer(transport_).expires_after(kRequestTime);
    if constexpr (std::is_same_v<Transport, TlsTransport>) {
      transport_.async_handshake([self = this->shared_from_this()](beast::error_code error) {
        if (!error) return self->read();
        if (TlsSocket::is_plain_http(error)) self->transport_.answer_plain_http();
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

  void answer_whole(const std::string& path, const std::string& query_text) {
    std::string problem;
    std::optional<WholeQuery> query = parse_whole_query(path, query_text, problem);
    if (!query) return reply(http::status::bad_request, "text/plain", problem + "\n");
    if (!server_.has_source(query->source)) {
      return reply(http::status::not_found, "text/plain", "no source of that name\n");
    }
    if (refused_for_room()) return;
    // The address is read before the transport moves on: arguments have no order.
    const std::string address = client_address();
    server_.open_whole(std::move(transport_), std::move(*query), address);
  }

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

  void answer_metrics() {
    if (!refused_for_room()) server_.open_metrics(std::move(transport_));
  }

  // The whole log's requests and /metrics run in threads of their own, so many at once.
  bool refused_for_room() {
    if (server_.has_whole_room()) return false;
    reply(http::status::service_unavailable, "text/plain",
          "as many requests of the whole log run as the page allows\n",
          {{"Retry-After", std::to_string(kRetryAfterSeconds)}});
    return true;
  }

  void count_refusal(http::status status) {
    RelayCounters& counters = server_.counters();
    if (status == http::status::unauthorized) ++counters.refused_unauthorized;
    if (status == http::status::too_many_requests) ++counters.refused_throttled;
    if (status == http::status::service_unavailable) ++counters.refused_busy;
  }

  void reply(http::status status, const std::string& type, std::string body,
             const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    count_refusal(status);
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

  Transport transport_;
  Routes& server_;
  beast::flat_buffer buffer_;
  http::request_parser<http::empty_body> parser_;
};

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
  const std::string path = target.substr(base.size());
  // A scraper on loopback may be let in without the password.
  if (path == "metrics" && server_.options().metrics_open) return answer_metrics();
  if (!authorized()) return;
  if (path == "metrics") return answer_metrics();
  if (path.empty() || path == "index.html") {
    return reply(http::status::ok, "text/html; charset=utf-8", kWebPage);
  }
  if (path == "lines" || path == "search" || path == "download") {
    return answer_whole(path, whole_target.find('?') == std::string::npos
                                  ? std::string()
                                  : whole_target.substr(whole_target.find('?') + 1));
  }
  if (Channel* channel = server_.channel_for(path)) {
    if (!server_.has_room()) {
      return reply(http::status::service_unavailable, "text/plain", "too many browsers\n",
                   {{"Retry-After", std::to_string(kRetryAfterSeconds)}});
    }
    std::optional<std::string> last_event_id;
    const auto header = request.find("Last-Event-ID");
    if (header != request.end()) last_event_id = std::string(header->value());
    return server_.open_feed(std::move(transport_), *channel, last_event_id);
  }
  reply(http::status::not_found, "text/plain", "not found\n");
}

}  // namespace vantrel::web
