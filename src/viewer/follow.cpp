#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "codec/frame.h"
#include "viewer/output_queue.h"
#include "viewer/sink.h"
#ifdef VANTREL_WEB
#include "web/web.h"
#endif
#include "viewer/viewer.h"

namespace vantrel::viewer {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kAcceptedPrefix = "YIPI ";
constexpr std::string_view kRefusedReply = "WO!!";
// A login that asks for lengths ends with a zero byte and the capability, after the password
// field, which the daemon ends at the first zero byte.
constexpr std::string_view kLengthsRequest{"\0framed", sizeof codec::kFramedCapability};
// What the viewer queues while its standard output is blocked.
constexpr std::size_t kOutputLimit = std::size_t{64} << 20;
// Bytes that no frame under the key has confirmed for this long: the key differs.
constexpr std::chrono::seconds kUnreadLimit{3};
// How often the wait looks at the output thread.
constexpr int kOutputCheckMilliseconds = 200;

enum class SessionEnd { kGone, kRefused, kLoginUnread, kOutputFailed };

// One connection to the daemon.
struct Session {
  int fd = -1;
  const settings::Settings* settings = nullptr;
  Sink* output = nullptr;
  bool awaiting_reply = false;  // the login was sent and its answer has not come yet
  bool held_refusal = false;    // "WO!!" came where the answer may: it is one if the daemon closes
  bool key_confirmed = false;   // a padded frame or the login's answer read right under the key
  bool worked = false;          // a frame arrived: the next reconnection starts at the first delay
  Clock::time_point reply_deadline;
  std::optional<Clock::time_point> quiet_at;      // when held bytes are taken as whole frames
  std::optional<Clock::time_point> unread_since;  // bytes wait that no frame confirmed yet
  std::string login_text;         // "PASS password", to recognise it echoed back under another key
  std::string unconfirmed;        // payloads that wait for the key to be confirmed
  std::size_t reported_held = 0;  // bytes said to be held at the last quiet moment
  FrameAssembly assembly;
  // Once the daemon grants lengths, frames are read by them; until then, what came since the
  // login, so that the bytes after the answer can be read again that way.
  bool lengths = false;
  std::vector<std::uint8_t> since_login;
  LengthReader length_reader;
  std::size_t output_dropped = 0;  // bytes dropped while standard output was blocked
  bool timestamps = false;         // -t
  bool* at_line_start = nullptr;   // across connections: the next byte starts a line
};

void report_system_error(const std::string& what) {
  const int error = errno;
  std::fprintf(stderr, "vantrel-view: %s: %s\n", what.c_str(), std::strerror(error));
}

std::string describe(const sockaddr_in& address) {
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(address.sin_port));
}

bool resolve_host(const std::string& host, std::uint16_t port, sockaddr_in& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;  // the daemon listens on IPv4 only
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (status != 0) {
    const char* why = status == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(status);
    std::fprintf(stderr, "vantrel-view: unknown host '%s': %s\n", host.c_str(), why);
    return false;
  }
  std::memcpy(&address, found->ai_addr, sizeof address);
  address.sin_port = htons(port);
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

int connect_daemon(const sockaddr_in& address) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) {
    report_system_error("socket");
    return -1;
  }
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    report_system_error("connect to " + describe(address));
    close(fd);
    return -1;
  }
  enable_keepalive(fd);
  std::fprintf(stderr, "vantrel-view: connected to %s\n", describe(address).c_str());
  return fd;
}

// Closes with a reset rather than an orderly close. The daemon sets no address-reuse option, so
// an orderly close after it went away would leave its side of the connection waiting, and its
// port taken, for a minute after a restart; a reset frees the port at once.
void close_abortively(int fd) {
  linger abort_on_close{1, 0};
  setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
  close(fd);
}

bool send_login(Session& session, const settings::Settings& settings) {
  session.login_text = "PASS " + *settings.password;
  const std::string login = session.login_text + std::string(kLengthsRequest);
  std::vector<std::uint8_t> frame(codec::encoded_room(login.size()));
  std::memcpy(frame.data(), login.data(), login.size());
  const std::size_t length = codec::encode_frame(frame.data(), login.size(), settings.key);
  if (send(session.fd, frame.data(), length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) {
    report_system_error("send login");
    return false;
  }
  session.awaiting_reply = true;
  session.reply_deadline = Clock::now() + std::chrono::seconds(kLoginReplySeconds);
  return true;
}

// "12:00:01.234 ": the local time of arrival, before each line with -t.
std::string arrival_stamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(millis));
  return stamp;
}

std::string with_stamps(std::string_view bytes, bool& at_line_start) {
  const std::string stamp = arrival_stamp();
  std::string stamped;
  for (const char byte : bytes) {
    if (at_line_start) stamped += stamp;
    stamped += byte;
    at_line_start = byte == '\n';
  }
  return stamped;
}

void write_out(Session& session, std::string_view bytes) {
  std::string stamped;
  if (session.timestamps) {
    stamped = with_stamps(bytes, *session.at_line_start);
    bytes = stamped;
  }
  const std::size_t dropped =
      session.output->push(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  if (dropped > 0) session.output->dropped(dropped);
  if (dropped == 0 && session.output_dropped > 0) {
    std::fprintf(stderr,
                 "vantrel-view: standard output was blocked; dropped %zu bytes of the log\n",
                 session.output_dropped);
    session.output_dropped = 0;
  }
  session.output_dropped += dropped;
}

// The answer to the login is "YIPI " and the path the daemon serves (the configuration's
// logfile, where it names one), or "WO!!" followed by the daemon closing the connection.
bool is_acceptance(const Session& session, std::string_view payload) {
  if (!payload.starts_with(kAcceptedPrefix)) return false;
  const std::string_view path = payload.substr(kAcceptedPrefix.size());
  if (path.empty() || path.find_first_of(std::string_view("\n\0", 2)) != std::string_view::npos) {
    return false;
  }
  return !session.settings->logfile || path == *session.settings->logfile;
}

// An answer that grants lengths: the acceptance, a zero byte and the capability.
bool is_lengths_grant(const Session& session, std::string_view payload) {
  return payload.ends_with(kLengthsRequest) &&
         is_acceptance(session, payload.substr(0, payload.size() - kLengthsRequest.size()));
}

// A login echoed back by a daemon whose key differs: the login's own text, as far as the
// daemon's reading of it went before a zero byte.
bool is_echoed_login(const Session& session, std::string_view payload) {
  const std::string login = session.login_text + std::string(kLengthsRequest);
  return payload.size() >= session.login_text.size() && login.starts_with(payload);
}

SessionEnd key_differs() {
  std::fprintf(stderr,
               "vantrel-view: what the daemon sends does not read under the key; most likely the "
               "key differs from the daemon's\n");
  return SessionEnd::kLoginUnread;
}

// The daemon may broadcast growth before it reads the login, so a payload that comes while the
// answer is awaited is the answer only when it can be one; anything else is log.
std::optional<SessionEnd> take_payload(Session& session, const Payload& payload,
                                       std::string_view text) {
  if (session.held_refusal) {
    session.held_refusal = false;  // more came: it was log
    write_out(session, kRefusedReply);
  }
  if (session.awaiting_reply && !payload.continues) {
    const bool grant = is_lengths_grant(session, text);
    if (grant || is_acceptance(session, text)) {
      if (grant) text.remove_suffix(kLengthsRequest.size());
      session.awaiting_reply = false;
      session.key_confirmed = true;
      session.lengths = grant;
      if (!grant) session.since_login = {};
      std::fprintf(stderr, "vantrel-view: logged in; following %.*s\n",
                   static_cast<int>(text.size() - kAcceptedPrefix.size()),
                   text.data() + kAcceptedPrefix.size());
      session.output->following(std::string(text.substr(kAcceptedPrefix.size())));
      return std::nullopt;
    }
    if (text == kRefusedReply) {
      session.held_refusal = true;
      return std::nullopt;
    }
    if (is_echoed_login(session, text)) {
      std::fprintf(stderr, "vantrel-view: the daemon did not take the login; the key differs\n");
      return SessionEnd::kLoginUnread;
    }
  }
  // Until the key is confirmed, a frame without padding proves nothing: one that does not read
  // as text waits for a padded frame to confirm the key, or for kUnreadLimit to refute it.
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  if (!session.key_confirmed && !payload.padded && !reads_as_text(bytes, text.size())) {
    session.unconfirmed.append(text);
    return std::nullopt;
  }
  if (payload.padded && !session.key_confirmed) {
    session.key_confirmed = true;
    write_out(session, session.unconfirmed);
    session.unconfirmed.clear();
  }
  if (!session.unconfirmed.empty()) {
    session.unconfirmed.append(text);
    return std::nullopt;
  }
  write_out(session, text);
  return std::nullopt;
}

void note_held_bytes(Session& session) {
  const bool held = unwritten_bytes(session.assembly) > 0;
  const Clock::time_point now = Clock::now();
  session.quiet_at =
      held ? std::optional(now + std::chrono::milliseconds(kQuietMilliseconds)) : std::nullopt;
  if (session.assembly.held > 0 && session.assembly.held != session.reported_held) {
    std::fprintf(stderr, "vantrel-view: %zu bytes received form no whole frame yet; holding them\n",
                 session.assembly.held);
  }
  session.reported_held = session.assembly.held;
  if (!session.unconfirmed.empty()) {
    if (!session.unread_since) session.unread_since = now;
  } else if (!held || session.key_confirmed) {
    session.unread_since.reset();
  } else if (!session.unread_since) {
    session.unread_since = now;
  }
}

std::optional<SessionEnd> take_lengths(Session& session, const std::uint8_t* data,
                                       std::size_t size) {
  LengthReader& reader = session.length_reader;
  add_length_receive(reader, data, size);
  if (!reader.output.empty()) {
    session.worked = true;
    write_out(session, std::string_view(reinterpret_cast<const char*>(reader.output.data()),
                                        reader.output.size()));
  }
  if (!reader.malformed) return std::nullopt;
  std::fprintf(stderr,
               "vantrel-view: the daemon sent a length that no frame has; the stream "
               "cannot be read on\n");
  return SessionEnd::kGone;
}

// The answer granted lengths: from the end of its frame on, frames come behind their lengths.
// What the assembly made of those bytes is dropped, and they are read again that way.
std::optional<SessionEnd> start_lengths(Session& session, std::size_t answer_end) {
  session.quiet_at.reset();
  session.unread_since.reset();
  session.length_reader.key = session.settings->key;
  std::vector<std::uint8_t> rest(
      session.since_login.begin() + static_cast<std::ptrdiff_t>(answer_end),
      session.since_login.end());
  session.since_login = {};
  session.assembly = FrameAssembly{};
  return take_lengths(session, rest.data(), rest.size());
}

// Takes what the assembly wrote in its last call; a value when the session ends.
std::optional<SessionEnd> take_written(Session& session) {
  const FrameAssembly& assembly = session.assembly;
  if (assembly.dropped > 0) {
    if (!session.key_confirmed) return key_differs();
    std::fprintf(stderr, "vantrel-view: dropped %zu bytes that formed no frame\n",
                 assembly.dropped);
  }
  if (assembly.tied > 0) {
    std::fprintf(stderr,
                 "vantrel-view: %zu bytes could be cut into frames in more than one way (not "
                 "text?); kept the likeliest reading\n",
                 assembly.tied);
  }
  for (const Payload& payload : assembly.payloads) {
    session.worked = true;
    const auto* text = reinterpret_cast<const char*>(assembly.output.data() + payload.offset);
    if (auto end = take_payload(session, payload, std::string_view(text, payload.size))) {
      return end;
    }
    if (session.lengths) return start_lengths(session, payload.stream_end);
  }
  note_held_bytes(session);
  return std::nullopt;
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
  return static_cast<int>(std::clamp<std::int64_t>(left.count(), 0, kOutputCheckMilliseconds));
}

int wait_milliseconds(const Session& session) {
  int wait = kOutputCheckMilliseconds;
  if (session.awaiting_reply) wait = std::min(wait, milliseconds_until(session.reply_deadline));
  if (session.quiet_at) wait = std::min(wait, milliseconds_until(*session.quiet_at));
  if (session.unread_since) {
    wait = std::min(wait, milliseconds_until(*session.unread_since + kUnreadLimit));
  }
  return wait;
}

// Acts on the deadlines that have passed; a value when the session ends.
std::optional<SessionEnd> take_deadlines(Session& session) {
  const Clock::time_point now = Clock::now();
  if (session.quiet_at && now >= *session.quiet_at) {
    take_quiet(session.assembly);
    if (auto end = take_written(session)) return end;
  }
  if (session.unread_since && now >= *session.unread_since + kUnreadLimit) return key_differs();
  if (session.awaiting_reply && now >= session.reply_deadline) {
    std::fprintf(stderr,
                 "vantrel-view: no answer to the login within %d s; does the key match the "
                 "daemon's?\n",
                 kLoginReplySeconds);
    return SessionEnd::kLoginUnread;
  }
  return std::nullopt;
}

// The daemon closed the connection: the frames held back are whole now, or never.
SessionEnd take_close(Session& session) {
  take_quiet(session.assembly);
  if (auto end = take_written(session)) return *end;
  if (session.held_refusal) {
    std::fprintf(stderr, "vantrel-view: the daemon refused the password\n");
    return SessionEnd::kRefused;
  }
  std::fprintf(stderr, "vantrel-view: the daemon closed the connection\n");
  return SessionEnd::kGone;
}

SessionEnd take_closed_lengths(const Session& session) {
  const LengthReader& reader = session.length_reader;
  if (reader.bytes.size() > reader.taken) {
    std::fprintf(stderr, "vantrel-view: the connection ended in the middle of a frame\n");
  }
  std::fprintf(stderr, "vantrel-view: the daemon closed the connection\n");
  return SessionEnd::kGone;
}

// Receives and takes what came; a value when the session ends.
std::optional<SessionEnd> take_receive(Session& session, std::vector<std::uint8_t>& buffer) {
  const ssize_t received = recv(session.fd, buffer.data(), buffer.size(), 0);
  if (received < 0 && errno == EINTR) return std::nullopt;
  if (received < 0 && errno != ECONNRESET) {
    report_system_error("receive");
    return SessionEnd::kGone;
  }
  if (received <= 0) return session.lengths ? take_closed_lengths(session) : take_close(session);
  const auto size = static_cast<std::size_t>(received);
  if (session.lengths) return take_lengths(session, buffer.data(), size);
  const bool asked_lengths = session.awaiting_reply && session.settings->password;
  if (asked_lengths) {
    session.since_login.insert(session.since_login.end(), buffer.data(), buffer.data() + size);
  }
  add_receive(session.assembly, buffer.data(), size);
  if (auto end = take_written(session)) return end;
  // The answer that grants lengths ends what came: it is taken at once, not after a quiet spell.
  if (asked_lengths && !session.lengths &&
      ends_with_framed_answer(session.since_login, session.settings->key)) {
    take_quiet(session.assembly);
    return take_written(session);
  }
  return std::nullopt;
}

SessionEnd follow(Session& session) {
  std::vector<std::uint8_t> buffer(kMaxBlock);
  for (;;) {
    const int watched_output = session.output->is_standard_output() ? STDOUT_FILENO : -1;
    pollfd ready[2] = {{session.fd, POLLIN, 0}, {watched_output, 0, 0}};
    const int count = poll(ready, 2, wait_milliseconds(session));
    if (count < 0 && errno != EINTR) {
      report_system_error("poll");
      return SessionEnd::kGone;
    }
    if ((ready[1].revents & (POLLERR | POLLHUP)) != 0) end_as_closed_pipe();
    if (session.output->failed()) return SessionEnd::kOutputFailed;
    std::optional<SessionEnd> end;
    if ((ready[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
      end = take_receive(session, buffer);
    } else {
      end = take_deadlines(session);
    }
    if (end) return *end;
  }
}

SessionEnd run_session(Session& session, const settings::Settings& settings) {
  session.assembly.key = settings.key;
  if (settings.password && !send_login(session, settings)) return SessionEnd::kGone;
  return follow(session);
}

int exit_status_of(SessionEnd end) {
  switch (end) {
    case SessionEnd::kRefused:
      return kExitRefused;
    case SessionEnd::kLoginUnread:
      return kExitLoginUnread;
    case SessionEnd::kOutputFailed:
      return kExitOutputFailed;
    case SessionEnd::kGone:
      break;
  }
  return kExitDaemonGone;
}

std::unique_ptr<Sink> open_output(const ViewerOptions& options) {
  if (options.web.port == 0) return std::make_unique<OutputQueue>(STDOUT_FILENO, kOutputLimit);
#ifdef VANTREL_WEB
  return web::start_web_output(options.web);
#else
  std::fprintf(stderr, "vantrel-view: this build has no --web: build it with libboost-dev\n");
  return nullptr;
#endif
}

}  // namespace

int run_viewer(const ViewerOptions& options) {
  sockaddr_in address{};
  if (!resolve_host(options.host, options.settings.port, address)) return kExitNoConnection;
  std::unique_ptr<Sink> output = open_output(options);
  if (!output) return options.web.port > 0 ? kExitNoConnection : kExitBadSetup;
  bool at_line_start = true;
  int delay_seconds = kFirstRetrySeconds;
  for (;;) {
    const int fd = connect_daemon(address);
    if (fd >= 0) {
      Session session;
      session.fd = fd;
      session.settings = &options.settings;
      session.output = output.get();
      output->connection_changed(true);
      session.timestamps = options.timestamps;
      session.at_line_start = &at_line_start;
      const SessionEnd end = run_session(session, options.settings);
      close_abortively(fd);
      output->connection_changed(false);
      if (end != SessionEnd::kGone || !options.reconnect) return exit_status_of(end);
      if (session.worked) delay_seconds = kFirstRetrySeconds;
    } else if (!options.reconnect) {
      return kExitNoConnection;
    }
    std::fprintf(stderr, "vantrel-view: reconnecting in %d s\n", delay_seconds);
    std::this_thread::sleep_for(std::chrono::seconds(delay_seconds));
    delay_seconds = std::min(delay_seconds * 2, kLastRetrySeconds);
  }
}

}  // namespace vantrel::viewer
