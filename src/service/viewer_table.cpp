#include "service/viewer_table.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "codec/frame.h"
#include "service/service_state.h"

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

// Something other than the next log bytes goes first: the rest of a frame, an answer, a notice.
bool has_pending(const ViewerSlot& viewer) {
  return viewer.partial || viewer.answer != ViewerSlot::Answer::kNone || viewer.notice_pending;
}

// A viewer at the end of the rotated file goes on with the new one from its start; one with
// positions is told so.
void settle(const ServiceState& state, ViewerSlot& viewer) {
  if (is_current(state, viewer) || has_pending(viewer) || viewer.position < state.previous_end) {
    return;
  }
  viewer.generation = state.generation;
  viewer.position = 0;
  if (viewer.positions) queue_notice(viewer, codec::NoticeKind::kRotated, 0);
}

bool has_more(const ServiceState& state, const ViewerSlot& viewer) {
  if (viewer.awaits_login) return viewer.answer != ViewerSlot::Answer::kNone;
  return has_pending(viewer) || !is_current(state, viewer) ||
         viewer.position < end_of(state, viewer);
}

// Answers go at once; frames to a viewer that reads one receive as one frame, spaced out.
bool is_due(const ViewerSlot& viewer, Clock::time_point now) {
  return viewer.framed || viewer.answer != ViewerSlot::Answer::kNone ||
         now >= viewer.last_frame + kFrameInterval;
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
  // Nothing left: it stays where it stands, unless TLS began a record of this frame, which
  // must then be offered again as it is.
  const bool record_begun = state.connections[static_cast<std::size_t>(descriptor)].record_begun;
  if (sent == 0 && already == 0 && !record_begun) return false;
  viewer.partial = true;
  viewer.partial_from = state.buffered.from;
  viewer.partial_length = static_cast<std::uint32_t>(state.buffered.payload_length);
  viewer.partial_sent = static_cast<std::uint32_t>(already + static_cast<std::size_t>(sent));
  viewer.partial_next = next;
  return false;
}

// A viewer with positions never takes a frame whose end jumps past growth it skipped: it reads
// that growth from the file.
bool is_at_buffered_frame(const ServiceState& state, const ViewerSlot& viewer) {
  const BufferedFrame& frame = state.buffered;
  const bool follows_on =
      frame.next == frame.from + static_cast<std::int64_t>(frame.payload_length);
  return frame.valid && !has_pending(viewer) && !viewer.awaits_login &&
         viewer.generation == frame.generation && viewer.position == frame.from &&
         (follows_on || !viewer.positions);
}

// The next thing the viewer is owed: its login's answer, a notice, or a frame.
bool send_next(ServiceState& state, const Settings& settings, int descriptor,
               Clock::time_point now) {
  const ViewerSlot& viewer = state.viewers[static_cast<std::size_t>(descriptor)];
  if (viewer.partial) return send_next_frame(state, settings, descriptor, now);
  if (viewer.notice_sent > 0) return send_notice(state, settings, descriptor);
  if (viewer.answer != ViewerSlot::Answer::kNone) return send_answer(state, settings, descriptor);
  if (viewer.notice_pending) return send_notice(state, settings, descriptor);
  return send_next_frame(state, settings, descriptor, now);
}

// The answer to a login, in the transfer buffer: "YIPI " and the path (and the lengths
// capability after a zero byte, where asked), or "WO!!". Returns the frame length.
std::size_t build_answer(ServiceState& state, const Settings& settings, ViewerSlot& viewer) {
  state.buffered.valid = false;
  char* reply = reinterpret_cast<char*>(state.buffer.get());
  std::size_t length = 4;
  if (viewer.answer == ViewerSlot::Answer::kRefusal) {
    std::memcpy(reply, "WO!!", length);
  } else {
    // Bounded to one frame's payload, so that no log file path can outgrow the buffer.
    const int wanted =
        std::snprintf(reply, codec::kMaxPayload + 1, "YIPI %s", settings.logfile->c_str());
    length = std::min(static_cast<std::size_t>(wanted), codec::kMaxPayload);
    // Lengths are granted only where the answer has room to name them.
    viewer.answer_framed =
        viewer.answer_framed && length + sizeof codec::kFramedCapability <= codec::kMaxPayload;
    if (viewer.answer_framed) {
      // The capability follows a zero byte, where a viewer that did not ask would never look.
      reply[length] = '\0';
      std::memcpy(reply + length + 1, codec::kFramedCapability,
                  sizeof codec::kFramedCapability - 1);
      length += sizeof codec::kFramedCapability;
    }
  }
  return codec::encode_frame(state.buffer.get(), length, settings.key);
}

}  // namespace

bool send_answer(ServiceState& state, const Settings& settings, int descriptor) {
  ViewerSlot& viewer = state.viewers[static_cast<std::size_t>(descriptor)];
  const std::size_t frame_length = build_answer(state, settings, viewer);
  std::size_t total = 0;
  const ssize_t sent = send_frame_rest(state, descriptor, frame_length, viewer.answer_sent, total);
  if (sent < 0) {
    std::perror("vantrel: Error sending data to client(will close client's connection)");
    drop_client(state, descriptor);
    return false;
  }
  viewer.answer_sent += static_cast<std::uint32_t>(sent);
  if (viewer.answer_sent < total) {
    viewer.blocked = true;
    return false;
  }
  const ViewerSlot::Answer answer = viewer.answer;
  viewer.answer = ViewerSlot::Answer::kNone;
  viewer.answer_sent = 0;
  if (answer == ViewerSlot::Answer::kRefusal) {
    drop_client(state, descriptor);
    return false;
  }
  viewer.framed = viewer.answer_framed;
  viewer.awaits_login = false;
  std::printf("vantrel: Client(%d) successfully logged in.\n", descriptor);
  if (viewer.framed && viewer.asks_positions) {
    place_viewer(state, settings, descriptor);
  } else {
    viewer.positions = false;  // notices go only behind lengths, to a viewer that asked
    viewer.notice_pending = false;
  }
  return true;
}

ssize_t send_frame_rest(ServiceState& state, int descriptor, std::size_t frame_length,
                        std::size_t already, std::size_t& total) {
  Connection& connection = state.connections[static_cast<std::size_t>(descriptor)];
  std::uint8_t prefix[codec::kLengthPrefixBytes];
  const bool framed = state.viewers[static_cast<std::size_t>(descriptor)].framed;
  const std::size_t prefix_bytes = framed ? sizeof prefix : 0;
  codec::write_length_prefix(prefix, frame_length);
  total = prefix_bytes + frame_length;
  std::uint8_t* frame = state.buffer.get();
  if (connection.tls != nullptr && framed) {
    // A TLS record takes one run of bytes: the length goes in front of the frame in the
    // buffer (which has room past a whole frame) for the send, and the frame back after.
    std::memmove(frame + prefix_bytes, frame, frame_length);
    std::memcpy(frame, prefix, prefix_bytes);
    const iovec whole{frame + already, total - already};
    const ssize_t sent = connection_send(connection, descriptor, &whole, 1);
    std::memmove(frame, frame + prefix_bytes, frame_length);
    return sent;
  }
  iovec parts[2];
  int count = 0;
  if (already < prefix_bytes) parts[count++] = {prefix + already, prefix_bytes - already};
  const std::size_t frame_from = already > prefix_bytes ? already - prefix_bytes : 0;
  parts[count++] = {frame + frame_from, frame_length - frame_from};
  return connection_send(connection, descriptor, parts, count);
}

void start_viewer(ServiceState& state, const Settings& settings, int descriptor) {
  ViewerSlot& viewer = state.viewers[static_cast<std::size_t>(descriptor)];
  viewer = ViewerSlot{};
  viewer.generation = state.generation;
  viewer.position = settings.history_bytes > 0 ? history_start(state, settings) : state.sent_offset;
  viewer.first_position = viewer.position;
  viewer.first_generation = viewer.generation;
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
      if (!send_next(state, settings, d, now) || !viewer.framed) break;
    }
  }
}

void drop_lagging_viewers(ServiceState& state, const Settings& settings) {
  const Clock::time_point now = Clock::now();
  // A viewer with positions loses nothing it is not told of: past this it skips ahead instead.
  const auto skip_limit = std::max(kMostBehind, static_cast<std::int64_t>(settings.resume_bytes));
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (!is_client(state, d)) continue;
    ViewerSlot& viewer = state.viewers[static_cast<std::size_t>(d)];
    if (!has_more(state, viewer)) {
      viewer.last_progress = now;
      continue;
    }
    std::int64_t behind = end_of(state, viewer) - viewer.position;
    if (!is_current(state, viewer)) behind += state.sent_offset;
    if (now - viewer.last_progress > kStallLimit || (!viewer.positions && behind > kMostBehind)) {
      drop_with_report(state, d);
    } else if (viewer.positions && behind > skip_limit && !has_pending(viewer)) {
      skip_lagging_viewer(state, settings, d);
    }
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
    // What the frame began with is gone from the file: it cannot be finished. A notice half
    // sent could be, but the one that says the file was cut back would have to wait behind it.
    if (viewer.partial || viewer.notice_sent > 0) {
      drop_with_report(state, d);
      continue;
    }
    viewer.position = 0;
    if (viewer.positions) queue_notice(viewer, codec::NoticeKind::kTruncated, codec::kUnknownSkip);
  }
}

void rewind_viewers_with_positions(ServiceState& state) {
  bool told = false;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    ViewerSlot& viewer = state.viewers[static_cast<std::size_t>(d)];
    if (!is_client(state, d) || !viewer.positions || !is_current(state, viewer)) continue;
    if (!told) {
      std::printf("vantrel: Log file rewritten! Viewers with positions get it from its start.\n");
      told = true;
    }
    if (viewer.partial || viewer.notice_sent > 0) {
      drop_with_report(state, d);
      continue;
    }
    viewer.position = 0;
    queue_notice(viewer, codec::NoticeKind::kTruncated, codec::kUnknownSkip);
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
  state.previous_device = state.log_device;
  state.previous_inode = state.log_inode;
  state.log_file = -1;
  state.sent_offset = 0;
  state.sent_tail_length = 0;
  ++state.generation;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (is_client(state, d)) settle(state, state.viewers[static_cast<std::size_t>(d)]);
  }
}

}  // namespace vantrel::service
