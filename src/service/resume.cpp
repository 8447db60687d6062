#include "service/resume.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "service/log_reader.h"
#include "service/service_state.h"

namespace vantrel::service {

namespace {

using codec::NoticeKind;
using codec::Position;
using codec::ResumeRequest;

struct Placement {
  std::uint32_t generation = 0;
  std::int64_t position = 0;
  NoticeKind kind = NoticeKind::kStart;
  std::uint64_t skipped = 0;
};

// The token of a position: the 64 bytes before it (fewer near the start) checked.
Position token_at(const ServiceState& state, std::uint32_t generation, std::int64_t position) {
  const KeptFile& kept = kept_file(state, generation);
  Position token{kept.device, kept.inode, static_cast<std::uint64_t>(position), 0, 0};
  std::uint8_t before[codec::kCheckBytes];
  const auto wanted = static_cast<std::size_t>(
      std::min<std::int64_t>(position, static_cast<std::int64_t>(codec::kCheckBytes)));
  const int file = kept.descriptor;
  const ssize_t count = file < 0 ? 0
                                 : pread(file, before, wanted,
                                         static_cast<off_t>(position) - static_cast<off_t>(wanted));
  if (count == static_cast<ssize_t>(wanted)) {
    token.check_length = static_cast<std::uint8_t>(wanted);
    token.check = codec::check_of(before, wanted);
  }
  return token;
}

// Where a viewer that may go back `bound` bytes from the end of the current file starts: the
// file's start, or the first line start past the bound.
std::int64_t bounded_start(ServiceState& state, std::int64_t end, std::size_t bound) {
  const std::int64_t from = end - static_cast<std::int64_t>(bound);
  if (from <= 0) return 0;
  return line_start_within(state, state.log.descriptor, from, end);
}

// The start of the last `lines` lines before `end`, as tail counts them, within the bound.
std::int64_t last_lines_start(ServiceState& state, std::int64_t end, std::uint64_t lines,
                              std::size_t bound) {
  if (lines == 0) return end;
  const std::int64_t limit = std::max<std::int64_t>(0, end - static_cast<std::int64_t>(bound));
  std::uint8_t* buffer = borrow_buffer(state);
  std::uint64_t newlines = 0;
  // A last line that ends in a newline is a whole line, not the start of another.
  std::int64_t at = end - 1;
  while (at > limit) {
    const std::int64_t from =
        std::max<std::int64_t>(limit, at - static_cast<std::int64_t>(kReceiveSize));
    const ssize_t count = pread(state.log.descriptor, buffer, static_cast<std::size_t>(at - from),
                                static_cast<off_t>(from));
    if (count <= 0) break;
    for (std::int64_t i = count - 1; i >= 0; --i) {
      if (buffer[static_cast<std::size_t>(i)] == '\n' && ++newlines == lines) {
        return from + i + 1;
      }
    }
    at = from;
  }
  return limit == 0 ? 0 : bounded_start(state, end, bound);
}

// A new viewer starts where it stood when it connected (the history, or what the daemon had
// taken), as any viewer does, though the frames it had before its login are sent again; or at
// the last lines it asks for.
Placement place_new(ServiceState& state, const Settings& settings, const Viewer& viewer,
                    const ResumeRequest& request) {
  if (request.kind == ResumeRequest::Kind::kLines) {
    const std::int64_t end = current_end(state);
    return Placement{state.generation,
                     last_lines_start(state, end, request.lines, settings.resume_bytes),
                     NoticeKind::kStart, 0};
  }
  if (request.kind == ResumeRequest::Kind::kBytes) {
    const std::size_t bytes = std::min<std::uint64_t>(request.lines, settings.resume_bytes);
    return Placement{state.generation, bounded_start(state, current_end(state), bytes),
                     NoticeKind::kStart, 0};
  }
  const bool kept =
      is_current(state, viewer.first_generation) ||
      (viewer.first_generation + 1 == state.generation && state.previous.descriptor >= 0);
  return Placement{kept ? viewer.first_generation : state.generation,
                   kept ? viewer.first_position : 0, NoticeKind::kStart, 0};
}

// The current file from its start, or from the bound.
Placement place_at_start(ServiceState& state, const Settings& settings, NoticeKind kind) {
  const std::int64_t end = current_end(state);
  return Placement{state.generation, bounded_start(state, end, settings.resume_bytes), kind,
                   codec::kUnknownSkip};
}

Placement place_at(ServiceState& state, const Settings& settings, const Position& at,
                   int descriptor) {
  const bool current = at.device == state.log.device && at.inode == state.log.inode;
  const bool previous = state.previous.descriptor >= 0 && at.device == state.previous.device &&
                        at.inode == state.previous.inode;
  if (!current && !previous) {
    std::printf(
        "vantrel: Client(%d) resumes in a file no longer served; sending the log "
        "from its start.\n",
        descriptor);
    return place_at_start(state, settings, NoticeKind::kReplaced);
  }
  const std::uint32_t generation = current ? state.generation : state.generation - 1;
  const std::int64_t end = current ? current_end(state) : state.previous.end;
  const auto offset = static_cast<std::int64_t>(at.offset);
  if (offset < 0 || offset > end || !check_holds(kept_file(state, generation).descriptor, at)) {
    std::printf(
        "vantrel: Client(%d) resumes past what the log now holds there; sending the log "
        "from its start.\n",
        descriptor);
    return place_at_start(state, settings,
                          current ? NoticeKind::kTruncated : NoticeKind::kReplaced);
  }
  const std::int64_t behind = end - offset + (current ? 0 : current_end(state));
  if (behind <= static_cast<std::int64_t>(settings.resume_bytes)) {
    return Placement{generation, offset, NoticeKind::kResumed, 0};
  }
  Placement placement = place_at_start(state, settings, NoticeKind::kResumeBound);
  placement.skipped =
      static_cast<std::uint64_t>(behind - (current_end(state) - placement.position));
  return placement;
}

}  // namespace

std::int64_t current_end(const ServiceState& state) {
  struct stat status {};
  if (state.log.descriptor < 0 || fstat(state.log.descriptor, &status) != 0) return state.log.end;
  return std::max<std::int64_t>(state.log.end, status.st_size);
}

bool check_holds(int file, const Position& at) {
  std::uint8_t before[codec::kCheckBytes];
  if (at.offset < at.check_length) return false;
  const ssize_t count =
      pread(file, before, at.check_length, static_cast<off_t>(at.offset - at.check_length));
  return count == at.check_length && codec::check_of(before, at.check_length) == at.check;
}

std::int64_t line_start_within(ServiceState& state, int file, std::int64_t from, std::int64_t end) {
  if (from <= 0) return 0;
  std::uint8_t* bytes = borrow_buffer(state);
  // The byte before `from` ends a line: `from` starts one.
  for (std::int64_t at = from - 1; at < end;) {
    const auto wanted = static_cast<std::size_t>(
        std::min<std::int64_t>(end - at, static_cast<std::int64_t>(kReceiveSize)));
    const ssize_t count = pread(file, bytes, wanted, static_cast<off_t>(at));
    if (count <= 0) break;
    const auto* newline =
        static_cast<const std::uint8_t*>(std::memchr(bytes, '\n', static_cast<std::size_t>(count)));
    if (newline != nullptr) return at + (newline + 1 - bytes);
    at += count;
  }
  return from;  // a line longer than what is left: from the bound itself
}

namespace {

// A viewer that named a position: resumed there, resumed at the bound past a gap, or started
// again from a file's start because the daemon no longer holds that place.
void count_resume(Counters& counters, NoticeKind kind) {
  if (kind == NoticeKind::kResumed) {
    ++counters.resumes_exact;
  } else if (kind == NoticeKind::kResumeBound) {
    ++counters.resumes_gap;
  } else {
    ++counters.resumes_refused;
  }
}

}  // namespace

void queue_notice(Viewer& viewer, NoticeKind kind, std::uint64_t skipped) {
  viewer.notice_pending = true;
  viewer.notice_kind = kind;
  viewer.notice_skipped = skipped;
  viewer.notice_sent = 0;
}

void place_viewer(ServiceState& state, const Settings& settings, int descriptor) {
  Viewer& viewer = viewer_at(state, descriptor);
  if (state.log.descriptor < 0) keep_log_file(state, settings);
  Placement placement;
  if (!viewer.request) {
    std::printf(
        "vantrel: Client(%d) sent a position that can't be read; serving it as a new "
        "viewer.\n",
        descriptor);
    placement = place_new(state, settings, viewer, ResumeRequest{});
    placement.kind = NoticeKind::kUnreadable;
    placement.skipped = codec::kUnknownSkip;
    ++state.counters.resumes_refused;
  } else if (viewer.request->kind == ResumeRequest::Kind::kAt) {
    placement = place_at(state, settings, viewer.request->at, descriptor);
    count_resume(state.counters, placement.kind);
  } else {
    placement = place_new(state, settings, viewer, *viewer.request);
  }
  viewer.positions = true;
  viewer.generation = placement.generation;
  viewer.position = placement.position;
  viewer.last_progress = Clock::now();
  queue_notice(viewer, placement.kind, placement.skipped);
}

bool send_notice(ServiceState& state, const Settings& settings, int descriptor) {
  Viewer& viewer = viewer_at(state, descriptor);
  Connection& connection = viewer.connection;
  // Made as it begins to leave, unless TLS began a record of it, which goes again as it was.
  if (viewer.notice_sent == 0 && !must_repeat(connection)) {
    // A new file is opened once it has bytes; the token names it from the start.
    if (is_current(state, viewer.generation) && state.log.descriptor < 0) {
      keep_log_file(state, settings);
    }
    const Position position = token_at(state, viewer.generation, viewer.position);
    codec::write_notice(viewer.notice.data(),
                        codec::Notice{viewer.notice_kind, viewer.notice_skipped, position});
  }
  const ssize_t sent =
      connection_send(connection, descriptor, {}, viewer.notice, viewer.notice_sent);
  if (sent < 0) {
    drop_for_failed_send(state, descriptor, errno);
    return false;
  }
  if (sent > 0) {
    viewer.notice_sent = static_cast<std::uint8_t>(viewer.notice_sent + sent);
    state.counters.sent_bytes += static_cast<std::uint64_t>(sent);
  }
  if (viewer.notice_sent == viewer.notice.size()) {
    viewer.notice_pending = false;
    viewer.notice_sent = 0;
    return true;
  }
  viewer.blocked = true;
  return false;
}

void skip_lagging_viewer(ServiceState& state, const Settings& settings, int descriptor) {
  Viewer& viewer = viewer_at(state, descriptor);
  const std::int64_t start = bounded_start(state, current_end(state), settings.resume_bytes);
  const std::int64_t skipped = is_current(state, viewer.generation)
                                   ? start - viewer.position
                                   : state.previous.end - viewer.position + start;
  viewer.generation = state.generation;
  viewer.position = start;
  queue_notice(viewer, NoticeKind::kLagBound,
               static_cast<std::uint64_t>(std::max<std::int64_t>(skipped, 0)));
}

}  // namespace vantrel::service
