#include "service/service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string>

#include "service/log_reader.h"
#include "service/log_watch.h"
#include "service/login.h"
#include "service/pacing.h"
#include "service/readiness.h"
#include "service/service_state.h"
#include "service/tls.h"
#include "service/whole_log.h"

namespace vantrel::service {

namespace {

void receive_from_viewer(ServiceState& state, const Settings& settings, int descriptor,
                         fd_set& ready) {
  std::uint8_t* buffer = borrow_buffer(state);
  const ssize_t received =
      connection_receive(viewer_at(state, descriptor).connection, descriptor, buffer, kReceiveSize);
  if (received == kNothingYet) return;
  if (received <= 0) {
    drop_viewer(state, descriptor);
    FD_CLR(descriptor, &ready);
    std::printf("vantrel: Client disconnected(%d).\n", descriptor);
    return;
  }
  handle_viewer_message(state, settings, descriptor, static_cast<std::size_t>(received));
}

// A poll is waiting: something called for a look, or a large growth has more to read.
bool poll_pending(const ServiceState& state) { return state.poll_wanted || state.behind; }

// The watch is left out while a poll is pending anyway, and while nobody is connected: then
// the file is looked at only when someone comes. Returns the highest descriptor added.
int build_wait_sets(const ServiceState& state, bool someone_connected, fd_set& ready,
                    fd_set& room) {
  FD_ZERO(&ready);
  FD_ZERO(&room);
  int highest = std::max(state.listener, state.tls_listener);
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (!is_viewer(state, d)) continue;
    FD_SET(d, &ready);
    highest = std::max(highest, d);
  }
  for (const int listener : {state.listener, state.tls_listener}) {
    if (listener >= 0) FD_SET(listener, &ready);
  }
  highest = std::max(highest, add_handshake_waits(state, ready, room));
  if (someone_connected && state.log_watch >= 0 && !poll_pending(state)) {
    FD_SET(state.log_watch, &ready);
    highest = std::max(highest, state.log_watch);
  }
  return std::max(highest, add_room_waits(state, room));
}

timeval time_until(Clock::time_point until, Clock::time_point now) {
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - now);
  const auto micros = std::max<std::int64_t>(left.count(), 0);
  return timeval{static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000)};
}

// How long the next wait may last, and whether it is cut short for something other than the
// file: the whole log's next slice, or systemd.
struct WaitLimit {
  timeval limit{};
  bool for_others = false;
};

// With someone connected: the time to the nearest deadline, a pending poll, a viewer's next
// frame or the end of a missing file's grace, within the 2-second safety net; none while
// `jobs` wait for their next slice. With nobody: only systemd's next turn, if any. Computed
// afresh for every wait.
std::optional<WaitLimit> wait_limit(const ServiceState& state, bool someone_connected, bool jobs) {
  const Clock::time_point now = Clock::now();
  const std::optional<Clock::time_point> systemd = next_systemd_turn(state);
  if (!someone_connected) {
    if (!systemd) return std::nullopt;
    return WaitLimit{time_until(*systemd, now), true};
  }
  Clock::time_point until = now + kWaitLimit;
  if (poll_pending(state)) until = now;
  if (const auto turn = next_viewer_turn(state)) until = std::min(until, *turn);
  if (const auto deadline = next_handshake_deadline(state)) until = std::min(until, *deadline);
  if (state.missing_since) until = std::min(until, *state.missing_since + kMissingLimit);
  const Clock::time_point others = jobs ? now : systemd.value_or(Clock::time_point::max());
  const bool for_others = jobs || others < until;
  return WaitLimit{time_until(std::min(until, others), now), for_others};
}

// Handles each ready descriptor in ascending order. Returns whether the log file should be
// looked at: a viewer spoke, came or went, or the watch named the file.
bool serve_ready(ServiceState& state, const Settings& settings, fd_set& ready) {
  bool look_at_file = false;
  // The watch (and a listener that came late) may lie above the viewers' 64.
  const int end =
      std::max({kMaxDescriptors, state.log_watch + 1, state.listener + 1, state.tls_listener + 1});
  for (int d = 0; d < end; ++d) {
    if (!FD_ISSET(d, &ready)) continue;
    if (d == state.log_watch) {
      look_at_file = drain_log_watch(state.log_watch, *settings.logfile) || look_at_file;
      continue;
    }
    look_at_file = true;
    if (d == state.listener || d == state.tls_listener) {
      // One accept per turn: a burst cannot starve the viewers served.
      accept_viewer(state, settings, d);
    } else {
      receive_from_viewer(state, settings, d, ready);
    }
  }
  return look_at_file;
}

// Polls when a poll is pending; the viewers at the writer's position share what it read.
int poll_if_wanted(ServiceState& state, const Settings& settings) {
  if (!poll_pending(state)) return 0;
  // Events that came while nobody watched, or while the poll was pending, say nothing new.
  if (state.log_watch >= 0) drain_log_watch(state.log_watch, *settings.logfile);
  state.poll_wanted = false;
  state.last_look = Clock::now();
  return std::min(poll_log(state, settings), 0);
}

// A wait that ran out is the safety net's poll, or the deadline of a pending one; a wait cut
// short for the whole log's next slice or for systemd is neither, until the safety net's time
// has come. With nobody connected, the file is looked at only when someone comes.
bool wait_ran_out(const ServiceState& state, int count, const std::optional<WaitLimit>& wait) {
  return count == 0 && wait && (!wait->for_others || Clock::now() - state.last_look >= kWaitLimit);
}

// Sets up what the loop needs before its first turn. Returns false after saying why it can't.
bool start_service(ServiceState& state, const Settings& settings) {
  if (!allocate_transfer_buffer(state)) {
    std::printf("vantrel: Something's wrong. Exiting.\n");
    return false;
  }
  // A send to a vanished viewer must fail and come back here, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  if (state.tls) install_reload_signal();
  state.log_watch = open_log_watch(*settings.logfile, kMaxDescriptors);
  return true;
}

}  // namespace

std::string tls_listener_label(const Settings& settings) {
  const std::uint32_t address = settings.tls_address.value_or(0);
  char text[INET_ADDRSTRLEN] = "0.0.0.0";
  inet_ntop(AF_INET, &address, text, sizeof text);
  return "TLS listener " + std::string(text) + ":" + std::to_string(settings.tls_port);
}

int open_listener(std::uint16_t port, std::uint32_t address_bytes, int backlog,
                  const std::string& label) {
  // "vantrel: bind" for the plain listener, as it always said; a labelled one says which it is.
  const std::string prefix = "vantrel: " + (label.empty() ? "" : label + ": ");
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) {
    std::perror((prefix + "socket").c_str());
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = address_bytes;
  address.sin_port = htons(port);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    std::perror((prefix + "bind").c_str());
    return -1;
  }
  if (listen(listener, backlog) != 0) {
    std::perror((prefix + "listen").c_str());
    return -1;
  }
  return listener;
}

ssl_ctx_st* open_tls(const Settings& settings) { return make_tls_context(settings); }

int run_service(int listener, int tls_listener, ssl_ctx_st* tls, const Settings& settings) {
  ServiceState state;
  state.listener = listener;
  state.tls_listener = tls_listener;
  state.tls = TlsContext(tls);
  if (!start_service(state, settings)) return -1;
  start_readiness(state.readiness);
  // A turn only for systemd, with nobody connected, leaves the file alone: it is looked at
  // when someone comes.
  bool turned_for_systemd = false;
  for (;;) {
    // Chosen before a send may drop anyone; a handshake under way has a deadline to keep.
    const bool someone_connected = has_viewers(state) || has_handshakes(state);
    if (!turned_for_systemd && poll_if_wanted(state, settings) < 0) return -1;
    work_on_jobs(state, settings);
    serve_viewers(state, settings);
    drop_lagging_viewers(state, settings);
    keep_systemd_told(state);

    fd_set ready;
    fd_set room;
    const int highest = build_wait_sets(state, someone_connected, ready, room);
    std::optional<WaitLimit> wait = wait_limit(state, someone_connected, has_job_work(state));
    if (add_buffered_reads(state, ready)) wait = WaitLimit{{}, wait && wait->for_others};
    const int count = select(highest + 1, &ready, &room, nullptr, wait ? &wait->limit : nullptr);
    turned_for_systemd = count == 0 && !someone_connected;
    if (count < 0 && errno != EINTR) {
      std::perror("vantrel: select");
      return -1;
    }
    reload_tls_if_asked(state, settings);
    if (count < 0) continue;  // a signal: SIGHUP's reload
    add_buffered_reads(state, ready);
    serve_handshakes(state, settings, ready, room);
    take_room(state, room);
    const bool spoke = serve_ready(state, settings, ready);
    state.poll_wanted = wait_ran_out(state, count, wait) || spoke || state.poll_wanted;
  }
}

}  // namespace vantrel::service
