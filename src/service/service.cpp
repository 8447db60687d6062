#include "service/service.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

namespace vantrel::service {

namespace {

std::uint64_t bit_of(int descriptor) { return std::uint64_t{1} << descriptor; }

bool is_client(const ServiceState& state, int descriptor) {
  return (state.clients & bit_of(descriptor)) != 0;
}

void report_send_failure() {
  std::perror("vantrel: Error sending data to client(will close client's connection)");
}

// A send that moved only part of the frame leaves the viewer's stream cut mid-frame, so every
// later frame would decode to garbage: it fails like a send that moved nothing.
bool send_whole_frame(int descriptor, const std::uint8_t* frame, std::size_t length) {
  const ssize_t sent = send(descriptor, frame, length, 0);
  if (sent < 0) return false;
  if (static_cast<std::size_t>(sent) != length) {
    errno = EAGAIN;  // the send timed out part way through
    return false;
  }
  return true;
}

void broadcast(ServiceState& state, const Settings& settings, std::size_t frame_length) {
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (!is_client(state, d)) continue;
    if (!send_whole_frame(d, state.buffer.get(), frame_length)) {
      report_send_failure();
      drop_client(state, d);
    } else if (settings.quiet == 0) {
      std::printf("vantrel: Sent something...\n");
    }
  }
}

// A viewer that stops reading would otherwise block the one thread, and every other viewer
// with it, for as long as it lives.
void limit_send_time(int descriptor) {
  timeval limit{};
  limit.tv_sec = kSendTimeoutSeconds;
  setsockopt(descriptor, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

void accept_client(ServiceState& state) {
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
  limit_send_time(descriptor);
  state.clients |= bit_of(descriptor);
  ++state.client_count;
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

void build_ready_set(const ServiceState& state, fd_set& ready) {
  FD_ZERO(&ready);
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (is_client(state, d)) FD_SET(d, &ready);
  }
  FD_SET(state.listener, &ready);
}

void serve_ready(ServiceState& state, const Settings& settings, fd_set& ready) {
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (!FD_ISSET(d, &ready)) continue;
    if (d == state.listener) {
      accept_client(state);  // one accept per turn: a burst cannot starve the viewers served
    } else {
      receive_from_client(state, settings, d, ready);
    }
  }
}

}  // namespace

int open_listener(std::uint16_t port) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  if (listener < 0) {
    std::perror("vantrel: socket");
    return -1;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
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

int run_service(int listener, const Settings& settings) {
  ServiceState state;
  state.listener = listener;
  if (!allocate_transfer_buffer(state)) {
    std::printf("vantrel: Something's wrong. Exiting.\n");
    return -1;
  }
  // A send to a vanished viewer must fail and come back here, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
  for (;;) {
    const bool limited = state.client_count > 0;  // chosen before the broadcast may drop anyone
    const int frame_length = poll_log(state, settings);
    if (frame_length < 0) return -1;
    if (frame_length > 0) broadcast(state, settings, static_cast<std::size_t>(frame_length));

    fd_set ready;
    build_ready_set(state, ready);
    timeval limit{kWaitSeconds, 0};  // select may write the time left back: set it every turn
    const int count = select(kMaxDescriptors, &ready, nullptr, nullptr, limited ? &limit : nullptr);
    if (count < 0) {
      std::perror("vantrel: select");
      return -1;
    }
    if (count > 0) serve_ready(state, settings, ready);
  }
}

}  // namespace vantrel::service
