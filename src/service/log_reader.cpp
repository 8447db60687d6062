#include "service/log_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "codec/frame.h"
#include "service/pacing.h"
#include "service/service_state.h"

namespace vantrel::service {

namespace {

void report_truncation() { std::printf("vantrel: Log file truncated! Will send next update.\n"); }

bool is_kept_file(const ServiceState& state, const struct stat& status) {
  return state.log.device == static_cast<std::uint64_t>(status.st_dev) &&
         state.log.inode == static_cast<std::uint64_t>(status.st_ino);
}

// Opens the file behind the name and keeps it, with its identity taken from the open file
// itself, so that a rotation between the status query and the open cannot mix two files.
bool open_kept_file(ServiceState& state, const Settings& settings) {
  int& file = state.log.descriptor;
  file = open(settings.logfile->c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    std::perror("vantrel: Error opening log file");
    return false;
  }
  // The kept descriptor is never waited on: above the 64 that the client set covers, it
  // leaves every one of those to the viewers.
  const int high = fcntl(file, F_DUPFD_CLOEXEC, kMaxDescriptors);
  if (high >= 0) {
    close(file);
    file = high;
  }
  struct stat status {};
  if (fstat(file, &status) == 0) {
    state.log.device = static_cast<std::uint64_t>(status.st_dev);
    state.log.inode = static_cast<std::uint64_t>(status.st_ino);
  }
  return true;
}

// Reads what the kept file holds from the sent offset on, at most one frame's payload.
// Returns the byte count, 0 when the file had been cut back to the offset or below, or -1
// after a failure was reported.
ssize_t read_at_offset(const ServiceState& state, std::int64_t growth) {
  if (lseek(state.log.descriptor, static_cast<off_t>(state.log.end), SEEK_SET) < 0) {
    std::perror("vantrel: Error lseek'ing log file");
    return -1;
  }
  const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(growth, codec::kMaxPayload));
  const ssize_t count = read(state.log.descriptor, state.buffer.get(), wanted);
  if (count < 0) std::perror("vantrel: Error reading log file");
  return count;
}

// Growth since a poll that had viewers reaches the viewers still connected whole; growth that
// piled up while nobody watched is stale, and so is more than a viewer could catch up with.
bool is_live(const ServiceState& state, std::int64_t growth) {
  return has_viewers(state) && state.viewers_at_last_poll && growth <= kMostBehind;
}

// Keeps the last bytes taken before the sent offset.
void remember_tail(ServiceState& state) {
  const auto length = static_cast<std::size_t>(
      std::min<std::int64_t>(state.log.end, static_cast<std::int64_t>(codec::kCheckBytes)));
  const ssize_t count = pread(state.log.descriptor, state.sent_tail.data(), length,
                              static_cast<off_t>(state.log.end) - static_cast<off_t>(length));
  state.sent_tail_length = count == static_cast<ssize_t>(length) ? length : 0;
}

// Whether the bytes before the sent offset are no longer those taken.
bool was_rewritten(const ServiceState& state) {
  if (state.sent_tail_length == 0 || state.log.descriptor < 0) return false;
  std::array<std::uint8_t, codec::kCheckBytes> now{};
  const auto length = static_cast<off_t>(state.sent_tail_length);
  const ssize_t count = pread(state.log.descriptor, now.data(), state.sent_tail_length,
                              static_cast<off_t>(state.log.end) - length);
  return count != length || !std::equal(now.begin(), now.begin() + length, state.sent_tail.begin());
}

// The file behind the name, whose size is `size`: growth past the sent offset, or all of it
// again when it was cut back in place.
int read_current(ServiceState& state, const Settings& settings, std::int64_t size) {
  std::int64_t growth = size - state.log.end;
  if (growth >= 0 && was_rewritten(state)) rewind_viewers_with_positions(state);
  if (growth < 0) {
    report_truncation();
    state.log.end = 0;
    state.sent_tail_length = 0;
    rewind_viewers(state);
    growth = size;
  }
  if (growth == 0) return 0;
  if (!keep_log_file(state, settings)) return -1;
  return read_growth(state, settings, growth, size);
}

// The name no longer leads to the kept file. Whatever the old file gained since the last poll
// is read through the kept descriptor first; once it is read to its end, and `let_go` says
// another file bears the name, it is let go, and that file is sent from its start. Returns
// the length of a frame of the old file's last bytes, 0 when there is none, or -1.
int read_old_file(ServiceState& state, const Settings& settings, bool let_go) {
  struct stat status {};
  if (fstat(state.log.descriptor, &status) == 0 && status.st_size > state.log.end) {
    const int frame_length =
        read_growth(state, settings, status.st_size - state.log.end, status.st_size);
    if (frame_length != 0) return frame_length;
  }
  if (!let_go) return 0;
  retire_log_file(state);
  std::printf("vantrel: Log file replaced! Will send the new one from its start.\n");
  return 0;
}

int poll_missing(ServiceState& state, const Settings& settings, int stat_error) {
  const Clock::time_point now = Clock::now();
  if (!state.missing_since) state.missing_since = now;
  if (now - *state.missing_since >= kMissingLimit) {
    errno = stat_error;
    std::perror("vantrel: Error stat'ing log file");
    return -1;
  }
  // Until a file bears the name again, the old one may still be written to: it is kept.
  return state.log.descriptor >= 0 ? read_old_file(state, settings, false) : 0;
}

int poll_present(ServiceState& state, const Settings& settings, const struct stat& status) {
  state.missing_since.reset();
  if (state.log.descriptor >= 0 && !is_kept_file(state, status)) {
    const int frame_length = read_old_file(state, settings, true);
    if (frame_length != 0) return frame_length;
  }
  return read_current(state, settings, status.st_size);
}

}  // namespace

bool keep_log_file(ServiceState& state, const Settings& settings) {
  return state.log.descriptor >= 0 || open_kept_file(state, settings);
}

int read_growth(ServiceState& state, const Settings& settings, std::int64_t growth,
                std::int64_t size) {
  const ssize_t count = read_at_offset(state, growth);
  if (count < 0) return -1;
  if (count == 0) {
    // The writer cut the file back between the status query and the read.
    report_truncation();
    state.log.end = 0;
    state.sent_tail_length = 0;
    rewind_viewers(state);
    state.behind = true;
    return 0;
  }
  state.counters.log_read_bytes += static_cast<std::uint64_t>(count);
  const std::int64_t from = state.log.end;
  if (is_live(state, growth)) {
    state.log.end += count;
    state.behind = state.log.end < size;
  } else {
    if (count < growth) {
      std::printf("vantrel: log size diff == %" PRId64 " but read %d bytes. Continuing...\n",
                  growth, static_cast<int>(count));
    }
    state.log.end = size;
  }
  remember_tail(state);
  const auto length = static_cast<std::size_t>(count);
  // Viewers at `from` share this frame; once they have it they stand at the new sent offset.
  state.buffered = BufferedFrame{true,
                                 state.generation,
                                 from,
                                 length,
                                 codec::encode_frame(state.buffer.get(), length, settings.key),
                                 state.log.end};
  return static_cast<int>(state.buffered.frame_length);
}

std::int64_t history_start(ServiceState& state, const Settings& settings) {
  const std::int64_t start =
      std::max<std::int64_t>(0, state.log.end - static_cast<std::int64_t>(settings.history_bytes));
  if (start == 0) return 0;
  const auto wanted = static_cast<std::size_t>(state.log.end - start);
  const int kept = state.log.descriptor;
  const int file = kept >= 0 ? kept : open(settings.logfile->c_str(), O_RDONLY);
  if (file < 0) return state.log.end;
  std::uint8_t* bytes = borrow_buffer(state);
  const ssize_t count = pread(file, bytes, wanted, static_cast<off_t>(start));
  if (file != kept) close(file);
  if (count <= 0) return state.log.end;
  // Cut in the middle of a line: the viewer sees whole lines only.
  const auto* newline =
      static_cast<const std::uint8_t*>(std::memchr(bytes, '\n', static_cast<std::size_t>(count)));
  if (newline == nullptr) return state.log.end;
  return start + (newline + 1 - bytes);
}

bool allocate_transfer_buffer(ServiceState& state) {
  state.buffer.reset(new (std::nothrow) std::uint8_t[kTransferBufferSize]);
  return state.buffer != nullptr;
}

int poll_log(ServiceState& state, const Settings& settings) {
  state.behind = false;
  struct stat status {};
  const bool present = stat(settings.logfile->c_str(), &status) == 0;
  const int stat_error = errno;
  const int frame_length =
      present ? poll_present(state, settings, status) : poll_missing(state, settings, stat_error);
  state.viewers_at_last_poll = has_viewers(state);
  return frame_length;
}

}  // namespace vantrel::service
