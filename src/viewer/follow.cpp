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
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "codec/frame.h"
#include "viewer/viewer.h"

namespace vantrel::viewer {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kAcceptedPrefix = "YIPI ";
constexpr std::string_view kRefusedReply = "WO!!";

enum class SessionEnd { kGone, kRefused, kLoginUnread, kOutputFailed };

// One connection to the daemon.
struct Session {
  int fd = -1;
  bool awaiting_reply = false;  // the login was sent and its answer has not come yet
  bool worked = false;          // a frame arrived: the next reconnection starts at the first delay
  Clock::time_point reply_deadline;
  std::string login_text;  // "PASS password", to recognise it echoed back under another key
  FrameAssembly assembly;
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
  std::vector<std::uint8_t> frame(codec::encoded_room(session.login_text.size()));
  std::memcpy(frame.data(), session.login_text.data(), session.login_text.size());
  const std::size_t length =
      codec::encode_frame(frame.data(), session.login_text.size(), settings.key);
  if (send(session.fd, frame.data(), length, MSG_NOSIGNAL) != static_cast<ssize_t>(length)) {
    report_system_error("send login");
    return false;
  }
  session.awaiting_reply = true;
  session.reply_deadline = Clock::now() + std::chrono::seconds(kLoginReplySeconds);
  return true;
}

// Waits until the connection is readable; false when the login's answer is overdue.
bool wait_readable(const Session& session) {
  for (;;) {
    int timeout_ms = -1;
    if (session.awaiting_reply) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          session.reply_deadline - Clock::now());
      timeout_ms = static_cast<int>(std::max<std::int64_t>(left.count(), 0));
    }
    pollfd ready{session.fd, POLLIN, 0};
    const int count = poll(&ready, 1, timeout_ms);
    if (count > 0) return true;
    if (count == 0) return false;
    if (errno != EINTR) return true;  // the receive that follows reports the failure
  }
}

bool write_payload(const std::uint8_t* payload, std::size_t size) {
  if (std::fwrite(payload, 1, size, stdout) != size || std::fflush(stdout) != 0) {
    report_system_error("write to standard output");
    return false;
  }
  return true;
}

// A payload that arrives while the login's answer is awaited is either that answer or log
// growth that the daemon broadcast before it read the login.
std::optional<SessionEnd> take_payload(Session& session, std::string_view payload) {
  if (session.awaiting_reply) {
    if (payload.starts_with(kAcceptedPrefix)) {
      session.awaiting_reply = false;
      std::fprintf(stderr, "vantrel-view: logged in; following %.*s\n",
                   static_cast<int>(payload.size() - kAcceptedPrefix.size()),
                   payload.data() + kAcceptedPrefix.size());
      return std::nullopt;
    }
    if (payload == kRefusedReply) {
      std::fprintf(stderr, "vantrel-view: the daemon refused the password\n");
      return SessionEnd::kRefused;
    }
    if (payload == session.login_text) {
      std::fprintf(stderr, "vantrel-view: the daemon did not take the login; the key differs\n");
      return SessionEnd::kLoginUnread;
    }
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(payload.data());
  if (!write_payload(bytes, payload.size())) return SessionEnd::kOutputFailed;
  return std::nullopt;
}

void report_drop(const FrameAssembly& assembly) {
  switch (assembly.drop_reason) {
    case DropReason::kMalformed:
      std::fprintf(stderr,
                   "vantrel-view: dropped %zu bytes that formed no frame (does the key match the "
                   "daemon's?)\n",
                   assembly.dropped);
      break;
    case DropReason::kAmbiguous:
      std::fprintf(stderr, "vantrel-view: dropped %zu bytes of frames that ran together\n",
                   assembly.dropped);
      break;
    case DropReason::kTooLong:
      std::fprintf(stderr,
                   "vantrel-view: dropped %zu bytes that grew past %zu without forming a "
                   "frame\n",
                   assembly.dropped, kMaxBlock);
      break;
    case DropReason::kNone:
      break;
  }
}

// Handles what one receive completed; a value when the session ends.
std::optional<SessionEnd> take_receive(Session& session, const std::uint8_t* data, std::size_t size,
                                       const Key& key) {
  FrameAssembly& assembly = session.assembly;
  add_receive(assembly, data, size, key);
  if (assembly.dropped > 0) report_drop(assembly);
  for (const Payload& payload : assembly.payloads) {
    session.worked = true;
    const auto* text = reinterpret_cast<const char*>(assembly.block.data() + payload.offset);
    if (auto end = take_payload(session, std::string_view(text, payload.size))) return end;
  }
  return std::nullopt;
}

SessionEnd follow(Session& session, const Key& key) {
  std::vector<std::uint8_t> buffer(kMaxBlock);
  for (;;) {
    if (!wait_readable(session)) {
      std::fprintf(stderr,
                   "vantrel-view: no answer to the login within %d s; does the key match "
                   "the daemon's?\n",
                   kLoginReplySeconds);
      return SessionEnd::kLoginUnread;
    }
    const ssize_t received = recv(session.fd, buffer.data(), buffer.size(), 0);
    if (received < 0 && errno == EINTR) continue;
    if (received < 0) {
      report_system_error("receive");
      return SessionEnd::kGone;
    }
    if (received == 0) {
      std::fprintf(stderr, "vantrel-view: the daemon closed the connection\n");
      return SessionEnd::kGone;
    }
    if (auto end = take_receive(session, buffer.data(), static_cast<std::size_t>(received), key)) {
      return *end;
    }
  }
}

SessionEnd run_session(Session& session, const settings::Settings& settings) {
  if (settings.password && !send_login(session, settings)) return SessionEnd::kGone;
  return follow(session, settings.key);
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

}  // namespace

int run_viewer(const ViewerOptions& options) {
  sockaddr_in address{};
  if (!resolve_host(options.host, options.settings.port, address)) return kExitNoConnection;
  int delay_seconds = kFirstRetrySeconds;
  for (;;) {
    const int fd = connect_daemon(address);
    if (fd >= 0) {
      Session session;
      session.fd = fd;
      const SessionEnd end = run_session(session, options.settings);
      close_abortively(fd);
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
