#include "service/viewer_table.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "codec/frame.h"
#include "service/service.h"

namespace vantrel::service {

namespace {

// Frames a viewer that asked for lengths takes back to back in one turn, so that one viewer's
// catch-up never holds up the loop for long.
constexpr int kFramesPerTurn = 16;

void drop_with_report(ServiceState& state, int descriptor) {
  errno = EAGAIN;  // nothing failed but the viewer's pace
  std::perror("vantrel: Error sending data to client(will close client's connection)");
  drop_client(state, descriptor);
}

bool is_current(const ServiceState& state, const ViewerSlot& viewer) {
  return viewer.generation == state.generation;
}

// Where the file the viewer reads ends, as far as the daemon has taken it.
std::int64_t end_of(const ServiceState& state, const ViewerSlot& viewer) {
  return is_current(state, viewer) ? state.sent_offset : state.previous_end;
}

int file_of(const ServiceState& state, const ViewerSlot& viewer) {
  return is_current(state, viewer) ? state.log_file : state.previous_file;
}

// A viewer at the end of the rotated file goes on with the new one from its start.
void settle(const ServiceState& state, ViewerSlot& viewer) {
  if (is_current(state, viewer) || viewer.partial || viewer.position < state.previous_end) return;
  viewer.generation = state.generation;
  viewer.position = 0;
}

bool has_more(const ServiceState& state, const ViewerSlot& viewer) {
  return viewer.partial || !is_current(state, viewer) || viewer.position < end_of(state, viewer);
}

bool is_due(const ViewerSlot& viewer, Clock::time_point now) {
  return viewer.framed || now >= viewer.last_frame + kFrameInterval;
}

// Puts the frame of log bytes [from, from + wanted) of the viewer's file in the transfer buffer,
// unless it holds it already. An `exact` frame must hold all `wanted` bytes: it finishes one
// sent in part. Returns false when the file gave nothing, or less than an exact frame needs.
bool buffer_frame(ServiceState& state, const Settings& settings, const ViewerSlot& viewer,
                  std::int64_t from, std::size_t wanted, bool exact) {
  BufferedFrame& frame = state.buffered;
  if (frame.valid && frame.generation == viewer.generation && frame.from == from &&
      (!exact || frame.payload_length == wanted)) {
    return true;
  }
  frame.valid = false;
  const int file = file_of(state, viewer);
  if (file < 0) return false;
  const ssize_t count = pread(file, state.buffer.get(), wanted, static_cast<off_t>(from));
  if (count <= 0 || (exact && static_cast<std::size_t>(count) != wanted)) return false;
  const auto length = static_cast<std::size_t>(count);
  frame = BufferedFrame{true,
                        viewer.generation,
                        from,
                        length,
                        codec::encode_frame(state.buffer.get(), length, settings.key),
                        from + count};
  return true;
}

// Sends the viewer its next frame, or the rest of the one it is in the middle of. Returns
// whether a whole frame left and the socket may take another.
bool send_next_frame(ServiceState& state, const Settings& settings, int descriptor,
                     Clock::time_point now) {
  ViewerSlot& viewer = state.viewers[static_cast<std::size_t>(descriptor)];
  std::size_t already = viewer.partial_sent;
  std::int64_t next = viewer.partial_next;
  if (viewer.partial) {
    if (!buffer_frame(state, settings, viewer, viewer.partial_from, viewer.partial_length, true)) {
      drop_with_report(state, descriptor);  // the file no longer holds what the frame began
      return false;
    }
  } else {
    const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(
        end_of(state, viewer) - viewer.position, static_cast<std::int64_t>(codec::kMaxPayload)));
    if (!buffer_frame(state, settings, viewer, viewer.position, wanted, false)) {
      state.poll_wanted = true;  // the file shrank behind the daemon's back: the poll sees to it
      if (!is_current(state, viewer)) viewer.position = state.previous_end;
      return false;
    }
    already = 0;
    next = state.buffered.next;
  }
  std::size_t total = 0;
  const ssize_t sent =
      send_frame_rest(state, descriptor, state.buffered.frame_length, already, total);
  if (sent < 0) {
    std::perror("vantrel: Error sending data to client(will close client's connection)");
    drop_client(state, descriptor);
    return false;
  }
  if (sent > 0) viewer.last_progress = now;
  if (sent > 0 && already == 0) viewer.last_frame = now;
  if (already + static_cast<std::size_t>(sent) == total) {
    viewer.partial = false;
    viewer.position = next;
    if (settings.quiet == 0) std::printf("vantrel: Sent something...\n");
    return true;
  }
  viewer.blocked = true;
  if (sent == 0 && already == 0) return false;  // nothing left: it stays where it stands
  viewer.partial = true;
  viewer.partial_from = state.buffered.from;
  viewer.partial_length = static_cast<std::uint32_t>(state.buffered.payload_length);
  viewer.partial_sent = static_cast<std::uint32_t>(already + static_cast<std::size_t>(sent));
  viewer.partial_next = next;
  return false;
}

bool is_at_buffered_frame(const ServiceState& state, const ViewerSlot& viewer) {
  return state.buffered.valid && !viewer.partial &&
         viewer.generation == state.buffered.generation && viewer.position == state.buffered.from;
}

}  // namespace

ssize_t send_frame_rest(const ServiceState& state, int descriptor, std::size_t frame_length,
                        std::size_t already, std::size_t& total) {
  std::uint8_t prefix[codec::kLengthPrefixBytes];
  const bool framed = state.viewers[static_cast<std::size_t>(descriptor)].framed;
  const std::size_t prefix_bytes = framed ? sizeof prefix : 0;
  codec::write_length_prefix(prefix, frame_length);
  total = prefix_bytes + frame_length;
  iovec parts[2];
  int count = 0;
  if (already < prefix_bytes) parts[count++] = {prefix + already, prefix_bytes - already};
  const std::size_t frame_from = already > prefix_bytes ? already - prefix_bytes : 0;
  parts[count++] = {state.buffer.get() + frame_from, frame_length - frame_from};
  msghdr message{};
  message.msg_iov = parts;
  message.msg_iovlen = static_cast<std::size_t>(count);
  const ssize_t sent = sendmsg(descriptor, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
  if (sent < 0 && errno == EAGAIN) return 0;  // EWOULDBLOCK is the same error here
  return sent;
}

void start_viewer(ServiceState& state, const Settings& settings, int descriptor) {
  ViewerSlot& viewer = state.viewers[static_cast<std::size_t>(descriptor)];
  viewer = ViewerSlot{};
  viewer.generation = state.generation;
  viewer.position = settings.history_bytes > 0 ? history_start(state, settings) : state.sent_offset;
  viewer.last_progress = Clock::now();
}

void serve_viewers(ServiceState& state, const Settings& settings) {
  const Clock::time_point now = Clock::now();
  // The frame just read goes to every viewer at the writer's position before anyone's catch-up
  // takes the buffer.
  for (int d = 0; d < kMaxDescriptors; ++d) {
    const ViewerSlot& viewer = state.viewers[static_cast<std::size_t>(d)];
    if (is_client(state, d) && !viewer.blocked && is_due(viewer, now) &&
        is_at_buffered_frame(state, viewer)) {
      send_next_frame(state, settings, d, now);
    }
  }
  for (int d = 0; d < kMaxDescriptors; ++d) {
    ViewerSlot& viewer = state.viewers[static_cast<std::size_t>(d)];
    for (int frames = 0; frames < kFramesPerTurn; ++frames) {
      if (!is_client(state, d)) break;
      settle(state, viewer);
      if (viewer.blocked || !has_more(state, viewer) || !is_due(viewer, now)) break;
      if (!send_next_frame(state, settings, d, now) || !viewer.framed) break;
    }
  }
}

void drop_lagging_viewers(ServiceState& state) {
  const Clock::time_point now = Clock::now();
  bool previous_read = false;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (!is_client(state, d)) continue;
    ViewerSlot& viewer = state.viewers[static_cast<std::size_t>(d)];
    if (!has_more(state, viewer)) {
      viewer.last_progress = now;
      continue;
    }
    std::int64_t behind = end_of(state, viewer) - viewer.position;
    if (!is_current(state, viewer)) behind += state.sent_offset;
    if (behind > kMostBehind || now - viewer.last_progress > kStallLimit) {
      drop_with_report(state, d);
    } else {
      previous_read = previous_read || !is_current(state, viewer);
    }
  }
  if (!previous_read && state.previous_file >= 0) {
    close(state.previous_file);
    state.previous_file = -1;
  }
}

int add_room_waits(const ServiceState& state, fd_set& room) {
  int highest = -1;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (is_client(state, d) && state.viewers[static_cast<std::size_t>(d)].blocked) {
      FD_SET(d, &room);
      highest = d;
    }
  }
  return highest;
}

void take_room(ServiceState& state, const fd_set& room) {
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (FD_ISSET(d, &room)) state.viewers[static_cast<std::size_t>(d)].blocked = false;
  }
}

std::optional<Clock::time_point> next_viewer_turn(const ServiceState& state) {
  std::optional<Clock::time_point> earliest;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    const ViewerSlot& viewer = state.viewers[static_cast<std::size_t>(d)];
    if (!is_client(state, d) || viewer.blocked || !has_more(state, viewer)) continue;
    const Clock::time_point due =
        viewer.framed ? Clock::time_point{} : viewer.last_frame + kFrameInterval;
    if (!earliest || due < *earliest) earliest = due;
  }
  return earliest;
}

void rewind_viewers(ServiceState& state) {
  state.buffered.valid = false;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    ViewerSlot& viewer = state.viewers[static_cast<std::size_t>(d)];
    if (!is_client(state, d) || !is_current(state, viewer)) continue;
    // What the frame began with is gone from the file: it cannot be finished.
    if (viewer.partial) {
      drop_with_report(state, d);
      continue;
    }
    viewer.position = 0;
  }
}

void retire_log_file(ServiceState& state) {
  for (int d = 0; d < kMaxDescriptors; ++d) {
    // Still in the file before the one now retired: that one is let go.
    if (is_client(state, d) && !is_current(state, state.viewers[static_cast<std::size_t>(d)])) {
      drop_with_report(state, d);
    }
  }
  if (state.previous_file >= 0) close(state.previous_file);
  state.previous_file = state.log_file;
  state.previous_end = state.sent_offset;
  state.log_file = -1;
  state.sent_offset = 0;
  ++state.generation;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (is_client(state, d)) settle(state, state.viewers[static_cast<std::size_t>(d)]);
  }
}

}  // namespace vantrel::service
