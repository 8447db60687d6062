// The viewer's event loop: every source has its own connection, login, frames and
// reconnection, and one poll waits for all of them, for connections being made and for the
// deadlines of each, so that a source that is slow, silent or gone never holds up another.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "follow/follow.h"
#include "follow/session.h"
#include "follow/tls_client.h"

namespace vantrel::follow {

namespace {

// How often the wait looks at the output thread.
constexpr std::chrono::milliseconds kOutputCheck{200};
// How often a source whose output is full looks for room again: reading goes on soon after
// the output has taken some of what waits.
constexpr std::chrono::milliseconds kRoomCheck{2};
// A connection not made within this long has failed, as a blocking one would have.
constexpr std::chrono::seconds kConnectTime{60};

// One source's connection, across reconnections.
struct Link {
  enum class State { kWaiting, kConnecting, kHandshaking, kFollowing, kEnded };
  const Source* source = nullptr;
  std::string label;  // "" with one source, else "NAME: "
  Sink* output = nullptr;
  sockaddr_in address{};
  State state = State::kWaiting;
  int fd = -1;
  ssl_st* tls = nullptr;        // TLS over fd, where the source asks for it
  bool tls_wants_room = false;  // the handshake waits to write, not to read
  Clock::time_point due;  // waiting: when to connect; connecting, handshaking: when to give up
  int delay_seconds = kFirstRetrySeconds;
  std::unique_ptr<Session> session;
  bool at_line_start = true;  // across connections: the next byte starts a line
  StreamPlace place;          // across connections: where the next login resumes
  bool paused = false;        // the output is full: the daemon holds the place meanwhile
  int status = 0;             // once ended
  // --grep: whether every match of the whole log was written, and whether any line matched.
  bool grep_complete = false;
  bool grep_matched = false;
};

std::string describe(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

bool resolve_host(Link& link) {
  addrinfo hints{};
  hints.ai_family = AF_INET;  // the daemon listens on IPv4 only
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string& host = link.source->host;
  const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (status != 0) {
    const char* why = status == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(status);
    say(link.label, "unknown host '%s': %s\n", host.c_str(), why);
    return false;
  }
  std::memcpy(&link.address, found->ai_addr, sizeof link.address);
  link.address.sin_port = htons(link.source->settings.port);
  freeaddrinfo(found);
  return true;
}

// The daemon sends nothing while its log is quiet, so only keepalive probes notice a daemon
// host that vanished without closing the connection.
void enable_keepalive(int fd) {
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
#ifdef TCP_KEEPIDLE
  int idle_seconds = 60;
  int interval_seconds = 10;
  int probes = 6;
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_seconds, sizeof idle_seconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_seconds, sizeof interval_seconds);
  setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
#endif
}

// Closes with a reset rather than an orderly close. The daemon sets no address-reuse option, so
// an orderly close after it went away would leave its side of the connection waiting, and its
// port taken, for a minute after a restart; a reset frees the port at once.
void close_abortively(int fd) {
  linger abort_on_close{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  close(fd);
}

int exit_status_of(SessionEnd end) {
  switch (end) {
    case SessionEnd::kRefused:
      return kExitRefused;
    case SessionEnd::kLoginUnread:
      return kExitLoginUnread;
    case SessionEnd::kOutputFailed:
      return kExitOutputFailed;
    case SessionEnd::kFinished:
      return kExitMatched;
    case SessionEnd::kCertificateRefused:
      return kExitUnverified;
    case SessionEnd::kGone:
      break;
  }
  return kExitDaemonGone;
}

// Of the sources' statuses, the worst is the viewer's: a daemon gone is the ordinary end.
int worst_status(const std::vector<Link>& links) {
  constexpr int kMildestFirst[] = {kExitDaemonGone, kExitNoConnection, kExitRefused,
                                   kExitUnverified, kExitLoginUnread,  kExitOutputFailed};
  const auto rank = [&](int status) {
    return std::ranges::find(kMildestFirst, status) - kMildestFirst;
  };
  int worst = kExitDaemonGone;
  for (const Link& link : links) {
    if (rank(link.status) > rank(worst)) worst = link.status;
  }
  return worst;
}

bool all_ended(const std::vector<Link>& links) {
  return std::ranges::all_of(links, [](const Link& l) { return l.state == Link::State::kEnded; });
}

void end_link(Link& link, int status) {
  link.state = Link::State::kEnded;
  link.status = status;
}

void retry_later(Link& link, const FollowOptions& options, int status) {
  if (!options.reconnect) return end_link(link, status);
  say(link.label, "reconnecting in %d s\n", link.delay_seconds);
  link.state = Link::State::kWaiting;
  link.due = Clock::now() + std::chrono::seconds(link.delay_seconds);
  link.delay_seconds = std::min(link.delay_seconds * 2, kLastRetrySeconds);
}

void close_link(Link& link) {
  end_tls(link.tls);
  link.tls = nullptr;
  if (link.fd >= 0) close_abortively(link.fd);
  link.fd = -1;
}

void connect_failed(Link& link, const FollowOptions& options, const char* what, int error) {
  say(link.label, "%s: %s\n", what, std::strerror(error));
  close_link(link);
  retry_later(link, options, kExitNoConnection);
}

// Under --grep a source ends well once its whole log was searched: with every match written,
// or, following, when its daemon goes.
void note_grep(Link& link, const Session& session, SessionEnd end) {
  const CatchUp& catch_up = session.catch_up;
  link.grep_matched = link.grep_matched || catch_up.have > 0;
  if (catch_up.goal != CatchUp::Goal::kNone) {
    link.grep_complete = catch_up.done && !catch_up.trouble &&
                         (end == SessionEnd::kFinished || end == SessionEnd::kGone);
  }
}

void end_session(Link& link, const FollowOptions& options, SessionEnd end) {
  close_link(link);
  link.output->connection_changed(false);
  const bool worked = link.session->worked;
  if (options.grep) note_grep(link, *link.session, end);
  link.session.reset();
  if (end == SessionEnd::kFinished) return end_link(link, kExitMatched);
  if (end != SessionEnd::kGone) return end_link(link, exit_status_of(end));
  if (worked) link.delay_seconds = kFirstRetrySeconds;
  // Dropped for the output's pace, not gone: the place is resumed at once, with or without -r.
  if (link.paused && link.place.known) {
    link.state = Link::State::kWaiting;
    link.due = Clock::now();
    return;
  }
  retry_later(link, options, exit_status_of(end));
}

// What a first connection reads of the log's history before its live stream.
CatchUp catch_up_of(const FollowOptions& options) {
  CatchUp catch_up;
  if (options.grep) {
    catch_up.goal = CatchUp::Goal::kMatches;
    catch_up.pattern = options.grep_pattern;
    catch_up.regex = options.grep_regex;
    catch_up.matcher = *options.grep;
    catch_up.then_follow = options.grep_follow;
  } else if (options.from_line) {
    catch_up.goal = CatchUp::Goal::kFromLine;
    catch_up.lines = *options.from_line;
  } else if (options.lines && *options.lines > 0) {
    catch_up.goal = CatchUp::Goal::kLastLines;
    catch_up.lines = *options.lines;
  }
  return catch_up;
}

void connected(Link& link, const FollowOptions& options) {
  // Under TLS the descriptor does not block: a read that finds only TLS's own records returns.
  if (link.tls == nullptr) fcntl(link.fd, F_SETFL, fcntl(link.fd, F_GETFL) & ~O_NONBLOCK);
  enable_keepalive(link.fd);
  say(link.label, "connected to %s%s\n", describe(link.address).c_str(),
      link.tls != nullptr ? " over TLS" : "");
  link.session = std::make_unique<Session>();
  Session& session = *link.session;
  session.fd = link.fd;
  session.tls = link.tls;
  session.settings = &link.source->settings;
  session.output = link.output;
  session.label = link.label;
  session.timestamps = options.timestamps;
  session.at_line_start = &link.at_line_start;
  session.place = &link.place;
  session.lines = options.lines;
  if (!link.place.known) session.catch_up = catch_up_of(options);
  session.live_filter = options.grep;
  link.output->connection_changed(true);
  link.state = Link::State::kFollowing;
  if (const auto end = start_session(session)) end_session(link, options, *end);
}

// A handshake step each time the poll says the socket is ready, within the connection's time.
void shake_hands(Link& link, const FollowOptions& options, bool ready) {
  if (!ready && Clock::now() < link.due) return;
  const TlsStep next = ready ? step_tls(link.tls, *link.source, link.label) : TlsStep::kFailed;
  if (!ready) say(link.label, "TLS handshake not finished in time\n");
  switch (next) {
    case TlsStep::kDone:
      return connected(link, options);
    case TlsStep::kWantRead:
    case TlsStep::kWantWrite:
      link.tls_wants_room = next == TlsStep::kWantWrite;
      return;
    case TlsStep::kUnverified:
      // Not the daemon configured, or one that refuses us: trying again would only meet it again.
      close_link(link);
      return end_link(link, kExitUnverified);
    case TlsStep::kFailed:
      close_link(link);
      return retry_later(link, options, kExitNoConnection);
  }
}

void start_tls(Link& link, const FollowOptions& options) {
  link.tls = begin_tls(*link.source, link.fd, link.label);
  if (link.tls == nullptr) {
    close_link(link);
    return retry_later(link, options, kExitNoConnection);
  }
  link.state = Link::State::kHandshaking;
  link.due = Clock::now() + kConnectTime;
  shake_hands(link, options, true);
}

void finish_connect(Link& link, const FollowOptions& options, bool ready) {
  int error = ETIMEDOUT;
  socklen_t size = sizeof error;
  if (ready && getsockopt(link.fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
  if (ready && error == 0 && link.source->tls_context != nullptr) return start_tls(link, options);
  if (ready && error == 0) return connected(link, options);
  if (!ready && Clock::now() < link.due) return;
  connect_failed(link, options, ("connect to " + describe(link.address)).c_str(), error);
}

// Connects without waiting for the connection to be made: the poll says when it is.
void begin_connect(Link& link, const FollowOptions& options) {
  // Looked up again on every attempt: the name may lead elsewhere by now, or again at all.
  if (!resolve_host(link)) return retry_later(link, options, kExitNoConnection);
  link.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (link.fd < 0) return connect_failed(link, options, "socket", errno);
  if (connect(link.fd, reinterpret_cast<const sockaddr*>(&link.address), sizeof link.address) ==
      0) {
    return finish_connect(link, options, true);
  }
  if (errno != EINPROGRESS) {
    const int error = errno;
    return connect_failed(link, options, ("connect to " + describe(link.address)).c_str(), error);
  }
  link.state = Link::State::kConnecting;
  link.due = Clock::now() + kConnectTime;
}

void step(Link& link, const FollowOptions& options, short revents,
          std::vector<std::uint8_t>& buffer) {
  switch (link.state) {
    case Link::State::kWaiting:
      if (Clock::now() >= link.due) begin_connect(link, options);
      return;
    case Link::State::kConnecting:
      return finish_connect(link, options, revents != 0);
    case Link::State::kHandshaking:
      return shake_hands(link, options, revents != 0);
    case Link::State::kFollowing:
      break;
    case Link::State::kEnded:
      return;
  }
  Session& session = *link.session;
  const bool readable =
      (revents & (POLLIN | POLLERR | POLLHUP)) != 0 || (!link.paused && has_pending(link.tls));
  const std::optional<SessionEnd> end =
      readable ? take_receive(session, buffer) : take_deadlines(session);
  if (end) end_session(link, options, *end);
}

std::optional<Clock::time_point> due_of(const Link& link) {
  if (link.state == Link::State::kFollowing) return next_deadline(*link.session);
  if (link.state == Link::State::kEnded) return std::nullopt;
  return link.due;
}

// A source whose output is full is not read until there is room.
short events_of(Link& link) {
  if (link.state == Link::State::kConnecting) return POLLOUT;
  if (link.state == Link::State::kHandshaking) return link.tls_wants_room ? POLLOUT : POLLIN;
  link.paused = link.state == Link::State::kFollowing && link.output->full();
  return link.state == Link::State::kFollowing && !link.paused ? POLLIN : 0;
}

// When standard output's reader goes away, the viewer ends as a write to a closed pipe ends it,
// even while the log is quiet.
[[noreturn]] void end_as_closed_pipe() {
  std::signal(SIGPIPE, SIG_DFL);
  std::raise(SIGPIPE);
  // cppcheck-suppress unreachableCode ; raise returns where SIGPIPE is blocked
  std::_Exit(kExitOutputFailed);
}

int milliseconds_until(Clock::time_point when) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

// Waits for every source, its connection and its deadlines, and for standard output.
int run_links(std::vector<Link>& links, Outputs& outputs, const FollowOptions& options) {
  std::vector<std::uint8_t> buffer(kMaxBlock);
  std::vector<pollfd> ready(links.size() + 1);
  const bool watch_output = outputs.source(0).is_standard_output();
  for (;;) {
    if (all_ended(links)) return worst_status(links);
    Clock::time_point wake = Clock::now() + kOutputCheck;
    if (const auto next = outputs.take_waiting(Clock::now())) wake = std::min(wake, *next);
    for (std::size_t i = 0; i < links.size(); ++i) {
      ready[i] = {links[i].fd, events_of(links[i]), 0};
      if (const auto due = due_of(links[i])) wake = std::min(wake, *due);
      if (links[i].paused) wake = std::min(wake, Clock::now() + kRoomCheck);
      // Bytes TLS has read already: no poll would say so.
      if (!links[i].paused && has_pending(links[i].tls)) wake = Clock::now();
    }
    ready.back() = {watch_output ? STDOUT_FILENO : -1, 0, 0};
    if (poll(ready.data(), ready.size(), milliseconds_until(wake)) < 0 && errno != EINTR) {
      say("", "poll: %s\n", std::strerror(errno));
      return kExitDaemonGone;
    }
    if ((ready.back().revents & (POLLERR | POLLHUP)) != 0) end_as_closed_pipe();
    if (outputs.source(0).failed()) return kExitOutputFailed;
    for (std::size_t i = 0; i < links.size(); ++i)
      step(links[i], options, ready[i].revents, buffer);
  }
}

// grep's status over every source: trouble where one was not searched to its end.
int grep_status(const std::vector<Link>& links) {
  if (!std::ranges::all_of(links, &Link::grep_complete)) return kExitGrepTrouble;
  return std::ranges::any_of(links, &Link::grep_matched) ? kExitMatched : kExitNoMatch;
}

}  // namespace

int follow_sources(const std::vector<Source>& sources, const FollowOptions& options,
                   const OpenOutputs& open, int no_outputs) {
  const bool several = sources.size() > 1;
  std::vector<Link> links(sources.size());
  for (std::size_t i = 0; i < links.size(); ++i) {
    links[i].source = &sources[i];
    if (several) links[i].label = sources[i].name + ": ";
    if (!options.reconnect && !resolve_host(links[i])) end_link(links[i], kExitNoConnection);
  }
  if (all_ended(links)) {  // no host could be found
    return options.grep ? kExitGrepTrouble : worst_status(links);
  }
  std::unique_ptr<Outputs> outputs = open();
  if (!outputs) return no_outputs;
  for (std::size_t i = 0; i < links.size(); ++i) links[i].output = &outputs->source(i);
  const int status = run_links(links, *outputs, options);
  if (status == kExitOutputFailed || !options.grep) return status;
  return grep_status(links);
}

}  // namespace vantrel::follow
