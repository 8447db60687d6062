#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "codec/frame.h"
#include "service/service.h"

namespace vantrel::service {

namespace {

void report_truncation() { std::printf("vantrel: Log file truncated! Will send next update.\n"); }

// Reads what the open file holds from the sent offset on. Returns the byte count, 0 when the
// file had been cut back to the offset or below, or -1 after a failure was reported.
ssize_t read_at_offset(int file, const ServiceState& state, std::int64_t growth) {
  if (lseek(file, static_cast<off_t>(state.sent_offset), SEEK_SET) < 0) {
    std::perror("vantrel: Error lseek'ing log file");
    return -1;
  }
  const auto wanted = static_cast<std::size_t>(std::min<std::int64_t>(growth, codec::kMaxPayload));
  const ssize_t count = read(file, state.buffer.get(), wanted);
  if (count < 0) std::perror("vantrel: Error reading log file");
  return count;
}

}  // namespace

bool allocate_transfer_buffer(ServiceState& state) {
  state.buffer.reset(new (std::nothrow) std::uint8_t[kTransferBufferSize]);
  return state.buffer != nullptr;
}

int read_growth(ServiceState& state, const Settings& settings, std::int64_t growth,
                std::int64_t& next_offset) {
  const int file = open(settings.logfile->c_str(), O_RDONLY);
  if (file < 0) {
    std::perror("vantrel: Error opening log file");
    return -1;
  }
  const ssize_t count = read_at_offset(file, state, growth);
  if (count == 0) {
    // The writer cut the file back between the status query and the read: a truncation.
    report_truncation();
    struct stat status {};
    if (fstat(file, &status) == 0) next_offset = status.st_size;
  } else if (count > 0 && count < growth) {
    std::printf("vantrel: log size diff == %" PRId64 " but read %d bytes. Continuing...\n", growth,
                static_cast<int>(count));
  }
  close(file);
  if (count <= 0) return static_cast<int>(count);
  return static_cast<int>(
      codec::encode_frame(state.buffer.get(), static_cast<std::size_t>(count), settings.key));
}

int poll_log(ServiceState& state, const Settings& settings) {
  struct stat status {};
  if (stat(settings.logfile->c_str(), &status) != 0) {
    std::perror("vantrel: Error stat'ing log file");
    return -1;
  }
  std::int64_t next_offset = status.st_size;
  const std::int64_t growth = next_offset - state.sent_offset;
  int frame_length = 0;
  if (growth > 0) {
    frame_length = read_growth(state, settings, growth, next_offset);
    if (frame_length < 0) return -1;
  } else if (growth < 0) {
    report_truncation();
  }
  state.sent_offset = next_offset;
  return frame_length;
}

}  // namespace vantrel::service
