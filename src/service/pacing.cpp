#include "service/pacing.h"

#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "codec/frame.h"
#include "service/login.h"
#include "service/resume.h"
#include "service/service_state.h"
#include "service/whole_log.h"

namespace vantrel::service {

namespace {

// Frames a viewer that asked for lengths takes back to back in one turn, so that one viewer's
// catch-up never holds up the loop for long.
constexpr int kFramesPerTurn = 16;

// Nothing failed but the viewer's pace.
void drop_for_pace(ServiceState& state, int descriptor) {
  ++state.counters.dropped_for_lag;
  drop_for_failed_send(state, descriptor, EAGAIN);
}

bool reads_current(const ServiceState& state, const Viewer& viewer) {
  return is_current(state, viewer.generation);
}

// Where the file the viewer reads ends, as far as the daemon has taken it.
std::int64_t end_of(const ServiceState& state, const Viewer& viewer) {
  return kept_file(state, viewer.generation).end;
}

// Something other than the next log bytes goes first: the rest of a frame, an answer, a notice,
// the whole log's answers.
bool has_pending(const Viewer& viewer) {
  return viewer.partial || viewer.answer != Viewer::Answer::kNone || viewer.notice_pending ||
         has_answers(viewer);
}

// A viewer at the end of the rotated file goes on with the new one from its start; one with
// positions is told so.
void settle(const ServiceState& state, Viewer& viewer) {
  if (reads_current(state, viewer) || has_pending(viewer) || viewer.position < state.previous.end) {
    return;
  }
  viewer.generation = state.generation;
  viewer.position = 0;
  if (viewer.positions) queue_notice(viewer, codec::NoticeKind::kRotated, 0);
}

bool has_more(const ServiceState& state, const Viewer& viewer) {
  if (awaits_login(viewer)) return viewer.answer != Viewer::Answer::kNone;
  return has_pending(viewer) || !reads_current(state, viewer) ||
         viewer.position < end_of(state, viewer);
}

// Answers go at once; frames to a viewer that reads one receive as one frame, spaced out.
bool is_due(const Viewer& viewer, Clock::time_point now) {
  return viewer.framed || viewer.answer != Viewer::Answer::kNone ||
         now >= viewer.last_frame + kFrameInterval;
}

// Puts the frame of log bytes [from, from + wanted) of the viewer's file in the transfer buffer,
// unless it holds it already. An `exact` frame must hold all `wanted` bytes: it finishes one
// sent in part. Returns false when the file gave nothing, or less than an exact frame needs.
bool buffer_frame(ServiceState& state, const Settings& settings, const Viewer& viewer,
                  std::int64_t from, std::size_t wanted, bool exact) {
  BufferedFrame& frame = state.buffered;
  if (frame.valid && frame.generation == viewer.generation && frame.from == from &&
      (!exact || frame.payload_length == wanted)) {
    return true;
  }
  const int file = kept_file(state, viewer.generation).descriptor;
  std::uint8_t* buffer = borrow_buffer(state);
  if (file < 0) return false;
  const ssize_t count = pread(file, buffer, wanted, static_cast<off_t>(from));
  if (count <= 0 || (exact && static_cast<std::size_t>(count) != wanted)) return false;
  const auto length = static_cast<std::size_t>(count);
  frame = BufferedFrame{true,
                        viewer.generation,
                        from,
                        length,
                        codec::encode_frame(buffer, length, settings.key),
                        from + count};
  return true;
}

// Sends the viewer its next frame, or the rest of the one it is in the middle of. Returns
// whether a whole frame left and the socket may take another.
bool send_next_frame(ServiceState& state, const Settings& settings, int descriptor,
                     Clock::time_point now) {
  Viewer& viewer = viewer_at(state, descriptor);
  std::size_t already = viewer.partial_sent;
  std::int64_t next = viewer.partial_next;
  if (viewer.partial) {
    if (!buffer_frame(state, settings, viewer, viewer.partial_from, viewer.partial_length, true)) {
      drop_for_pace(state, descriptor);  // the file no longer holds what the frame began
      return false;
    }
  } else {
    const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(
        end_of(state, viewer) - viewer.position, static_cast<std::int64_t>(codec::kMaxPayload)));
    if (!buffer_frame(state, settings, viewer, viewer.position, wanted, false)) {
      state.poll_wanted = true;  // the file shrank behind the daemon's back: the poll sees to it
      if (!reads_current(state, viewer)) viewer.position = state.previous.end;
      return false;
    }
    already = 0;
    next = state.buffered.next;
  }
  std::size_t total = 0;
  const ssize_t sent =
      send_frame_rest(state, descriptor, state.buffered.frame_length, already, total);
  if (sent < 0) {
    drop_for_failed_send(state, descriptor, errno);
    return false;
  }
  if (sent > 0) viewer.last_progress = now;
  if (sent > 0 && already == 0) viewer.last_frame = now;
  if (already + static_cast<std::size_t>(sent) == total) {
    viewer.partial = false;
    viewer.position = next;
    ++state.counters.sent_frames;
    if (settings.quiet == 0) std::printf("vantrel: Sent something...\n");
    return true;
  }
  viewer.blocked = true;
  // Nothing left: it stays where it stands, unless TLS began a record of this frame, which
  // must then be offered again as it is.
  if (sent == 0 && already == 0 && !must_repeat(viewer.connection)) return false;
  viewer.partial = true;
  viewer.partial_from = state.buffered.from;
  viewer.partial_length = static_cast<std::uint32_t>(state.buffered.payload_length);
  viewer.partial_sent = static_cast<std::uint32_t>(already + static_cast<std::size_t>(sent));
  viewer.partial_next = next;
  return false;
}

// A viewer with positions never takes a frame whose end jumps past growth it skipped: it reads
// that growth from the file.
bool is_at_buffered_frame(const ServiceState& state, const Viewer& viewer) {
  const BufferedFrame& frame = state.buffered;
  const bool follows_on =
      frame.next == frame.from + static_cast<std::int64_t>(frame.payload_length);
  return frame.valid && !has_pending(viewer) && !awaits_login(viewer) &&
         viewer.generation == frame.generation && viewer.position == frame.from &&
         (follows_on || !viewer.positions);
}

// The next thing the viewer is owed: its login's answer, a notice, or a frame.
bool send_next(ServiceState& state, const Settings& settings, int descriptor,
               Clock::time_point now) {
  const Viewer& viewer = viewer_at(state, descriptor);
  if (viewer.partial) return send_next_frame(state, settings, descriptor, now);
  if (viewer.notice_sent > 0) return send_notice(state, settings, descriptor);
  if (viewer.answer != Viewer::Answer::kNone) return send_answer(state, settings, descriptor);
  if (has_answers(viewer)) return send_answers(state, descriptor);
  if (viewer.notice_pending) return send_notice(state, settings, descriptor);
  return send_next_frame(state, settings, descriptor, now);
}

}  // namespace

void serve_viewers(ServiceState& state, const Settings& settings) {
  const Clock::time_point now = Clock::now();
  // The frame just read goes to every viewer at the writer's position before anyone's catch-up
  // takes the buffer.
  for (int d = 0; d < kMaxDescriptors; ++d) {
    const Viewer& viewer = viewer_at(state, d);
    if (is_viewer(state, d) && !viewer.blocked && is_due(viewer, now) &&
        is_at_buffered_frame(state, viewer)) {
      send_next_frame(state, settings, d, now);
    }
  }
  for (int d = 0; d < kMaxDescriptors; ++d) {
    Viewer& viewer = viewer_at(state, d);
    for (int frames = 0; frames < kFramesPerTurn; ++frames) {
      if (!is_viewer(state, d)) break;
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
    if (!is_viewer(state, d)) continue;
    Viewer& viewer = viewer_at(state, d);
    if (!has_more(state, viewer)) {
      viewer.last_progress = now;
      continue;
    }
    std::int64_t behind = end_of(state, viewer) - viewer.position;
    if (!reads_current(state, viewer)) behind += state.log.end;
    if (now - viewer.last_progress > kStallLimit || (!viewer.positions && behind > kMostBehind)) {
      drop_for_pace(state, d);
    } else if (viewer.positions && behind > skip_limit && !has_pending(viewer)) {
      skip_lagging_viewer(state, settings, d);
    }
  }
}

int add_room_waits(const ServiceState& state, fd_set& room) {
  int highest = -1;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (is_viewer(state, d) && viewer_at(state, d).blocked) {
      FD_SET(d, &room);
      highest = d;
    }
  }
  return highest;
}

void take_room(ServiceState& state, const fd_set& room) {
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (FD_ISSET(d, &room)) viewer_at(state, d).blocked = false;
  }
}

std::optional<Clock::time_point> next_viewer_turn(const ServiceState& state) {
  std::optional<Clock::time_point> earliest;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    const Viewer& viewer = viewer_at(state, d);
    if (!is_viewer(state, d) || viewer.blocked || !has_more(state, viewer)) continue;
    const Clock::time_point due =
        viewer.framed ? Clock::time_point{} : viewer.last_frame + kFrameInterval;
    if (!earliest || due < *earliest) earliest = due;
  }
  return earliest;
}

void rewind_viewers(ServiceState& state) {
  state.buffered.valid = false;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    Viewer& viewer = viewer_at(state, d);
    if (!is_viewer(state, d) || !reads_current(state, viewer)) continue;
    // What the frame began with is gone from the file: it cannot be finished. A notice half
    // sent could be, but the one that says the file was cut back would have to wait behind it.
    if (viewer.partial || viewer.notice_sent > 0) {
      drop_for_pace(state, d);
      continue;
    }
    viewer.position = 0;
    if (viewer.positions) queue_notice(viewer, codec::NoticeKind::kTruncated, codec::kUnknownSkip);
  }
  ++state.rewinds;
  ++state.counters.truncations;
}

void rewind_viewers_with_positions(ServiceState& state) {
  bool told = false;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    Viewer& viewer = viewer_at(state, d);
    if (!is_viewer(state, d) || !viewer.positions || !reads_current(state, viewer)) continue;
    if (!told) {
      std::printf("vantrel: Log file rewritten! Viewers with positions get it from its start.\n");
      told = true;
    }
    if (viewer.partial || viewer.notice_sent > 0) {
      drop_for_pace(state, d);
      continue;
    }
    viewer.position = 0;
    queue_notice(viewer, codec::NoticeKind::kTruncated, codec::kUnknownSkip);
  }
  ++state.rewinds;
  ++state.counters.rewrites;
}

void retire_log_file(ServiceState& state) {
  for (int d = 0; d < kMaxDescriptors; ++d) {
    // Still in the file before the one now retired: that one is let go.
    if (is_viewer(state, d) && !is_current(state, viewer_at(state, d).generation)) {
      drop_for_pace(state, d);
    }
  }
  if (state.previous.descriptor >= 0) close(state.previous.descriptor);
  state.previous = state.log;
  state.log = KeptFile{};
  state.sent_tail_length = 0;
  ++state.generation;
  for (int d = 0; d < kMaxDescriptors; ++d) {
    if (is_viewer(state, d)) settle(state, viewer_at(state, d));
  }
}

}  // namespace vantrel::service
