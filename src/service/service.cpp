#include "service/service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>

#include "service/log_watch.h"

namespace vantrel::service {

namespace {

std::uint64_t bit_of(int descriptor) { return std::uint64_t{1} << descriptor; }

bool is_client(const ServiceState& state, int descriptor) {
  return (state.clients & bit_of(descriptor)) != 0;
}

void broadcast(ServiceState& state, const Settings& settings, std::size_t frame_length) {
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (!is_client(state, d)) continue;
    if (send_frame_or_drop(state, d, frame_length) && settings.quiet == 0) {
      std::printf("vantrel: Sent something...\n");
    }
  }
}

// Sends never wait, so a viewer that stops reading fills its send buffer and is dropped,
// while every other viewer goes on. A large buffer keeps viewers that read steadily clear of
// that, through catch-up bursts of several frames in a row.
void enlarge_send_buffer(int descriptor) {
  const int bytes = kSendBufferBytes;
  setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

// A new viewer gets the log's last lines at once, to itself only.
void send_history(ServiceState& state, const Settings& settings, int descriptor) {
  const int frame_length = read_history(state, settings);
  if (frame_length > 0)
    send_frame_or_drop(state, descriptor, static_cast<std::size_t>(frame_length));
}

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
  enlarge_send_buffer(descriptor);
  state.clients |= bit_of(descriptor);
  ++state.client_count;
  if (settings.history_bytes > 0) send_history(state, settings, descriptor);
}

void receive_from_client(ServiceState& state, const Settings& settings, int descriptor,
                         fd_set& ready) {
  const ssize_t received = recv(descriptor, state.buffer.get(), kReceiveSize, 0);
  if (received <= 0) {
    drop_client(state, descriptor);
    FD_CLR(descriptor, &ready);
    std::printf("vantrel: Client disconnected(%d).\n", descriptor);
    return;
  }
  handle_client_message(state, settings, descriptor, static_cast<std::size_t>(received));
}

// A poll is waiting: for the pacing interval to pass, or to read the rest of a large growth.
bool poll_pending(const ServiceState& state) { return state.poll_wanted || state.behind; }

Clock::time_point next_frame_time(const ServiceState& state) {
  return state.last_frame + kFrameInterval;
}

// The watch is left out while a poll is pending anyway, so that a busy writer wakes the loop
// once per frame at most, not once per write.
void build_ready_set(const ServiceState& state, bool watching, fd_set& ready) {
  FD_ZERO(&ready);
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (is_client(state, d)) FD_SET(d, &ready);
  }
  FD_SET(state.listener, &ready);
  if (watching && state.watch >= 0 && !poll_pending(state)) FD_SET(state.watch, &ready);
}

// The time to the nearest deadline, a pending poll or the end of a missing file's grace,
// within the 2-second safety net. Computed afresh for every wait.
timeval wait_limit(const ServiceState& state) {
  Clock::time_point until = Clock::now() + kWaitLimit;
  if (poll_pending(state)) until = std::min(until, next_frame_time(state));
  if (state.missing_since) until = std::min(until, *state.missing_since + kMissingLimit);
  const auto left = std::chrono::duration_cast<std::chrono::microseconds>(until - Clock::now());
  const auto micros = std::max<std::int64_t>(left.count(), 0);
  return timeval{static_cast<time_t>(micros / 1000000), static_cast<suseconds_t>(micros % 1000000)};
}

// Handles each ready descriptor in ascending order. Returns whether the log file should be
// looked at: a viewer spoke, came or went, or the watch named the file.
bool serve_ready(ServiceState& state, const Settings& settings, fd_set& ready) {
  bool look_at_file = false;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (!FD_ISSET(d, &ready)) continue;
    if (d == state.watch) {
      look_at_file = drain_log_watch(state.watch, *settings.logfile) || look_at_file;
      continue;
    }
    look_at_file = true;
    if (d == state.listener) {
      accept_client(state,
                    settings);  // one accept per turn: a burst cannot starve the viewers served
    } else {
      receive_from_client(state, settings, d, ready);
    }
  }
  return look_at_file;
}

// Polls when a poll is pending and the pacing allows; broadcasts what it read.
int poll_when_due(ServiceState& state, const Settings& settings) {
  const Clock::time_point now = Clock::now();
  if (!poll_pending(state) || now < next_frame_time(state)) return 0;
  // Events that came while nobody watched, or while the poll was pending, say nothing new.
  if (state.watch >= 0) drain_log_watch(state.watch, *settings.logfile);
  state.poll_wanted = false;
  const int frame_length = poll_log(state, settings);
  if (frame_length <= 0) return frame_length;
  broadcast(state, settings, static_cast<std::size_t>(frame_length));
  state.last_frame = now;
  return 0;
}

}  // namespace

int open_listener(std::uint16_t port, std::uint32_t address_bytes) {
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
  if (listen(listener, 1) != 0) {
    std::perror("vantrel: listen");
    return -1;
  }
  return listener;
}

void drop_client(ServiceState& state, int descriptor) {
  close(descriptor);
  state.clients &= ~bit_of(descriptor);
  --state.client_count;
}

bool send_frame_or_drop(ServiceState& state, int descriptor, std::size_t frame_length) {
  const ssize_t sent =
      send(descriptor, state.buffer.get(), frame_length, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent >= 0 && static_cast<std::size_t>(sent) == frame_length) return true;
  // A part of a frame leaves the viewer's stream cut mid-frame, so every later frame would
  // decode to garbage: it fails like a send that moved nothing.
  if (sent >= 0) errno = EAGAIN;
  std::perror("vantrel: Error sending data to client(will close client's connection)");
  drop_client(state, descriptor);
  return false;
}

int run_service(int listener, const Settings& settings) {
  ServiceState state;
  state.listener = listener;
  if (!allocate_transfer_buffer(state)) {
    std::printf("vantrel: Something's wrong. Exiting.\n");
    return -1;
  }
  // A send to a vanished viewer must fail and come back here, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  state.watch = open_log_watch(*settings.logfile, kMaxDescriptors - 1);
  for (;;) {
    const bool watching = state.client_count > 0;  // chosen before the broadcast may drop anyone
    if (poll_when_due(state, settings) < 0) return -1;

    fd_set ready;
    build_ready_set(state, watching, ready);
    timeval limit = wait_limit(state);
    const int count =
        select(kMaxDescriptors, &ready, nullptr, nullptr, watching ? &limit : nullptr);
    if (count < 0) {
      std::perror("vantrel: select");
      return -1;
    }
    // A wait that ran out is the safety net's poll, or the deadline of a pending one.
    state.poll_wanted = count == 0 || serve_ready(state, settings, ready) || state.poll_wanted;
  }
}

}  // namespace vantrel::service
