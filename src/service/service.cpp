#include "service/service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "service/log_watch.h"
#include "service/service_state.h"
#include "service/tls.h"

namespace vantrel::service {

namespace {

std::uint64_t bit_of(int descriptor) { return std::uint64_t{1} << descriptor; }

void accept_client(ServiceState& state, const Settings& settings) {
  sockaddr_in peer{};
  socklen_t peer_size = sizeof peer;
  const int descriptor = accept(state.listener, reinterpret_cast<sockaddr*>(&peer), &peer_size);
  if (descriptor < 0) {
    std::perror("vantrel: accept");
    return;
  }
  const char* host = inet_ntoa(peer.sin_addr);
  const unsigned short port = ntohs(peer.sin_port);
  if (descriptor >= kMaxDescriptors) {
    // It does not fit the client set; the viewers already served go on.
    close(descriptor);
    std::printf("vantrel: Too many clients, closing connection from %s:%hu(%i).\n", host, port,
                descriptor);
    return;
  }
  std::printf("vantrel: Connect from host %s:%hu(%i).\n", host, port, descriptor);
  std::snprintf(state.connections[static_cast<std::size_t>(descriptor)].peer,
                sizeof(Connection::peer), "%s:%hu", host, port);
  tune_viewer_socket(descriptor);
  state.clients |= bit_of(descriptor);
  ++state.client_count;
  start_viewer(state, settings, descriptor);
}

void receive_from_client(ServiceState& state, const Settings& settings, int descriptor,
                         fd_set& ready) {
  state.buffered.valid = false;
  const ssize_t received =
      connection_receive(state.connections[static_cast<std::size_t>(descriptor)], descriptor,
                         state.buffer.get(), kReceiveSize);
  if (received == kNothingYet) return;
  if (received <= 0) {
    drop_client(state, descriptor);
    FD_CLR(descriptor, &ready);
    std::printf("vantrel: Client disconnected(%d).\n", descriptor);
    return;
  }
  handle_client_message(state, settings, descriptor, static_cast<std::size_t>(received));
}

// A poll is waiting: something called for a look, or a large growth has more to read.
bool poll_pending(const ServiceState& state) { return state.poll_wanted || state.behind; }

// The watch is left out while a poll is pending anyway. Returns the highest descriptor added.
int build_wait_sets(const ServiceState& state, bool watching, fd_set& ready, fd_set& room) {
  FD_ZERO(&ready);
  FD_ZERO(&room);
  int highest = std::max(state.listener, state.tls_listener);
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (!is_client(state, d)) continue;
    FD_SET(d, &ready);
    highest = std::max(highest, d);
  }
  for (const int listener : {state.listener, state.tls_listener}) {
    if (listener >= 0) FD_SET(listener, &ready);
  }
  highest = std::max(highest, add_handshake_waits(state, ready, room));
  if (watching && state.watch >= 0 && !poll_pending(state)) {
    FD_SET(state.watch, &ready);
    highest = std::max(highest, state.watch);
  }
  return std::max(highest, add_room_waits(state, room));
}

// The time to the nearest deadline, a pending poll, a viewer's next frame or the end of a
// missing file's grace, within the 2-second safety net. Computed afresh for every wait.
timeval wait_limit(const ServiceState& state) {
  const Clock::time_point now = Clock::now();
  Clock::time_point until = now + kWaitLimit;
  if (poll_pending(state)) until = now;
  if (const auto turn = next_viewer_turn(state)) until = std::min(until, *turn);
  if (const auto deadline = next_handshake_deadline(state)) until = std::min(until, *deadline);
  if (state.missing_since) until = std::min(until, *state.missing_since + kMissingLimit);
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - now);
  const auto micros = std::max<std::int64_t>(left.count(), 0);
  return timeval{static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000)};
}

// Handles each ready descriptor in ascending order. Returns whether the log file should be
// looked at: a viewer spoke, came or went, or the watch named the file.
bool serve_ready(ServiceState& state, const Settings& settings, fd_set& ready) {
  bool look_at_file = false;
  // The watch (and a listener that came late) may lie above the client set's 64.
  const int end =
      std::max({kMaxDescriptors, state.watch + 1, state.listener + 1, state.tls_listener + 1});
  for (int d = 0; d < end; ++d) {
    if (!FD_ISSET(d, &ready)) continue;
    if (d == state.watch) {
      look_at_file = drain_log_watch(state.watch, *settings.logfile) || look_at_file;
      continue;
    }
    look_at_file = true;
    if (d == state.listener) {
      // One accept per turn: a burst cannot starve the viewers served.
      accept_client(state, settings);
    } else if (d == state.tls_listener) {
      accept_tls_client(state, settings);
    } else {
      receive_from_client(state, settings, d, ready);
    }
  }
  return look_at_file;
}

// Polls when a poll is pending; the viewers at the writer's position share what it read.
int poll_if_wanted(ServiceState& state, const Settings& settings) {
  if (!poll_pending(state)) return 0;
  // Events that came while nobody watched, or while the poll was pending, say nothing new.
  if (state.watch >= 0) drain_log_watch(state.watch, *settings.logfile);
  state.poll_wanted = false;
  return std::min(poll_log(state, settings), 0);
}

}  // namespace

int open_listener(std::uint16_t port, std::uint32_t address_bytes, int backlog) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) {
    std::perror("vantrel: socket");
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = address_bytes;
  address.sin_port = htons(port);
  if (bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    std::perror("vantrel: bind");
    return -1;
  }
  if (listen(listener, backlog) != 0) {
    std::perror("vantrel: listen");
    return -1;
  }
  return listener;
}

// Sends never wait, so a viewer that stops reading fills its send buffer and then lags behind
// the others, read from the file as its socket takes more. A large buffer keeps viewers that
// read steadily clear of that through bursts; frames leave at once, never held for coalescing.
void tune_viewer_socket(int descriptor) {
  const int bytes = kSendBufferBytes;
  setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  const int on = 1;
  setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void drop_client(ServiceState& state, int descriptor) {
  close_connection(state.connections[static_cast<std::size_t>(descriptor)], descriptor);
  state.clients &= ~bit_of(descriptor);
  --state.client_count;
}

bool send_frame_or_drop(ServiceState& state, int descriptor, std::size_t frame_length) {
  state.buffered.valid = false;  // the buffer holds a reply now
  // A reply in the middle of a log frame would cut it; a viewer whose socket is that full is
  // dropped like one whose reply does not fit.
  std::size_t total = 0;
  // So is one whose TLS began a record of other bytes, which must go first as they were.
  const bool begun = state.connections[static_cast<std::size_t>(descriptor)].record_begun;
  std::size_t done = 0;
  ssize_t sent = 0;
  if (!is_in_the_middle(state.viewers[static_cast<std::size_t>(descriptor)]) && !begun) {
    // TLS sends a record at a time; the socket takes the rest at once or not at all.
    do {
      sent = send_frame_rest(state, descriptor, frame_length, done, total);
      if (sent > 0) done += static_cast<std::size_t>(sent);
    } while (sent > 0 && done < total);
  }
  if (done > 0 && done == total) return true;
  // A part of a frame leaves the viewer's stream cut mid-frame, so every later frame would
  // decode to garbage: it fails like a send that moved nothing.
  if (sent >= 0) errno = EAGAIN;
  std::perror("vantrel: Error sending data to client(will close client's connection)");
  drop_client(state, descriptor);
  return false;
}

int run_service(int listener, int tls_listener, const Settings& settings) {
  ServiceState state;
  state.listener = listener;
  state.tls_listener = tls_listener;
  if (!allocate_transfer_buffer(state)) {
    std::printf("vantrel: Something's wrong. Exiting.\n");
    return -1;
  }
  if (tls_listener >= 0 && !(state.tls = TlsContext(make_tls_context(settings)))) return -1;
  // A send to a vanished viewer must fail and come back here, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  state.watch = open_log_watch(*settings.logfile, kMaxDescriptors);
  reload_tls_if_asked(state, settings);  // from here on, SIGHUP asks for a reload
  for (;;) {
    // Chosen before a send may drop anyone; a handshake under way has a deadline to keep.
    const bool watching = state.client_count > 0 || state.handshakes != 0;
    if (poll_if_wanted(state, settings) < 0) return -1;
    serve_viewers(state, settings);
    drop_lagging_viewers(state, settings);

    fd_set ready;
    fd_set room;
    const int highest = build_wait_sets(state, watching, ready, room);
    timeval limit = add_buffered_reads(state, ready) ? timeval{} : wait_limit(state);
    const int count = select(highest + 1, &ready, &room, nullptr, watching ? &limit : nullptr);
    if (count < 0 && errno != EINTR) {
      std::perror("vantrel: select");
      return -1;
    }
    reload_tls_if_asked(state, settings);
    if (count < 0) continue;  // a signal: SIGHUP's reload
    add_buffered_reads(state, ready);
    serve_handshakes(state, settings, ready, room);
    take_room(state, room);
    // A wait that ran out is the safety net's poll, or the deadline of a pending one.
    const bool spoke = serve_ready(state, settings, ready);
    state.poll_wanted = count == 0 || spoke || state.poll_wanted;
  }
}

}  // namespace vantrel::service
