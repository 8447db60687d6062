#include "service/viewer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "codec/frame.h"
#include "service/log_reader.h"
#include "service/service_state.h"
#include "service/tls.h"

namespace vantrel::service {

namespace {

// Sends never wait, so a viewer that stops reading fills its send buffer and then lags behind
// the others, read from the file as its socket takes more. A large buffer keeps viewers that
// read steadily clear of that through bursts; frames leave at once, never held for coalescing.
void tune_viewer_socket(int descriptor) {
  const int bytes = kSendBufferBytes;
  setsockopt(descriptor, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  const int on = 1;
  setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

bool has_viewers(const ServiceState& state) {
  return std::ranges::any_of(state.viewers, is_admitted);
}

bool has_handshakes(const ServiceState& state) {
  return std::ranges::any_of(state.viewers, is_handshaking);
}

void accept_viewer(ServiceState& state, const Settings& settings, int listener) {
  sockaddr_in peer{};
  socklen_t peer_size = sizeof peer;
  const int descriptor = accept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_size);
  if (descriptor < 0) {
    std::perror("vantrel: accept");
    return;
  }
  const char* host = inet_ntoa(peer.sin_addr);
  const unsigned short port = ntohs(peer.sin_port);
  ++state.counters.accepted;
  if (descriptor >= kMaxDescriptors) {
    ++state.counters.refused_too_many;
    // It does not fit the viewers' descriptors; the viewers already served go on.
    close(descriptor);
    std::printf("vantrel: Too many clients, closing connection from %s:%hu(%i).\n", host, port,
                descriptor);
    return;
  }
  Viewer& viewer = viewer_at(state, descriptor);
  std::snprintf(viewer.connection.peer, sizeof viewer.connection.peer, "%s:%hu", host, port);
  tune_viewer_socket(descriptor);
  if (listener == state.tls_listener) return begin_handshake(state, descriptor);
  std::printf("vantrel: Connect from host %s:%hu(%i).\n", host, port, descriptor);
  admit_viewer(state, settings, descriptor);
}

void admit_viewer(ServiceState& state, const Settings& settings, int descriptor) {
  Viewer& viewer = viewer_at(state, descriptor);
  const Connection connection = viewer.connection;
  viewer = Viewer{};
  viewer.connection = connection;
  viewer.phase = Viewer::Phase::kAdmitted;
  viewer.generation = state.generation;
  viewer.position = settings.history_bytes > 0 ? history_start(state, settings) : state.log.end;
  viewer.first_position = viewer.position;
  viewer.first_generation = viewer.generation;
  viewer.last_progress = Clock::now();
  count_admitted(state);
}

void drop_viewer(ServiceState& state, int descriptor) {
  Viewer& viewer = viewer_at(state, descriptor);
  close_connection(viewer.connection, descriptor);
  viewer = Viewer{};
}

void drop_for_failed_send(ServiceState& state, int descriptor, int error) {
  errno = error;
  std::perror("vantrel: Error sending data to client(will close client's connection)");
  drop_viewer(state, descriptor);
}

ssize_t send_frame_rest(ServiceState& state, int descriptor, std::size_t frame_length,
                        std::size_t already, std::size_t& total) {
  Viewer& viewer = viewer_at(state, descriptor);
  std::uint8_t prefix[codec::kLengthPrefixBytes];
  codec::write_length_prefix(prefix, frame_length);
  const std::size_t prefix_bytes = viewer.framed ? sizeof prefix : 0;
  total = prefix_bytes + frame_length;
  // The transfer buffer has room past a whole frame for the prefix that TLS puts in front.
  const ssize_t sent = connection_send(viewer.connection, descriptor, {prefix, prefix_bytes},
                                       {state.buffer.get(), frame_length}, already);
  if (sent > 0) state.counters.sent_bytes += static_cast<std::uint64_t>(sent);
  return sent;
}

bool send_frame_or_drop(ServiceState& state, int descriptor, std::size_t frame_length) {
  const Viewer& viewer = viewer_at(state, descriptor);
  // A reply in the middle of a log frame would cut it; a viewer whose socket is that full is
  // dropped like one whose reply does not fit. So is one whose TLS began a record of other
  // bytes, which must go first as they were.
  std::size_t total = 0;
  std::size_t done = 0;
  ssize_t sent = 0;
  if (!is_in_the_middle(viewer) && !must_repeat(viewer.connection)) {
    // TLS sends a record at a time; the socket takes the rest at once or not at all.
    do {
      sent = send_frame_rest(state, descriptor, frame_length, done, total);
      if (sent > 0) done += static_cast<std::size_t>(sent);
    } while (sent > 0 && done < total);
  }
  if (done > 0 && done == total) return true;
  // A part of a frame leaves the viewer's stream cut mid-frame, so every later frame would
  // decode to garbage: it fails like a send that moved nothing.
  drop_for_failed_send(state, descriptor, sent >= 0 ? EAGAIN : errno);
  return false;
}

}  // namespace vantrel::service
