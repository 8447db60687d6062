// The log service: the log growth reader, the listener and the service loop, and the login
// exchange. One thread, one select loop, one transfer buffer shared by the log data, the
// received messages and the replies, each use finished before the next begins.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "settings/settings.h"

namespace vantrel::service {

using settings::Settings;

// One receive takes at most this many bytes.
inline constexpr std::size_t kReceiveSize = 65536;
// The buffer's spare room past a full receive holds the terminator that decoding writes and
// the padding, trailer and zero byte of a reply built from a full receive.
inline constexpr std::size_t kTransferBufferSize = kReceiveSize + 8;
// The client set covers descriptors 0 to 63.
inline constexpr int kMaxDescriptors = 64;
// The send buffer each viewer's socket asks for: room for many frames, so that a viewer that
// keeps up is never dropped by a send that would have to wait.
inline constexpr int kSendBufferBytes = 1 << 20;
// Longest a wait lasts while viewers are connected: the safety net where the file system sends
// no change events.
inline constexpr std::chrono::seconds kWaitLimit{2};
// Frames leave at least this far apart, so that a writer that writes line by line yields at
// most 100 frames a second.
inline constexpr std::chrono::milliseconds kFrameInterval{10};
// A log file whose name is missing for this long has been removed for good; shorter, it is the
// instant between a rotation's rename and its create.
inline constexpr std::chrono::seconds kMissingLimit{2};
// Live growth is delivered whole unless the daemon falls this far behind the writer.
inline constexpr std::int64_t kMostBehind = std::int64_t{16} << 20;

using Clock = std::chrono::steady_clock;

struct ServiceState {
  int listener = -1;
  std::uint64_t clients = 0;               // bit d set: descriptor d is a connected viewer
  int client_count = 0;                    // decides whether the wait is limited
  std::int64_t sent_offset = 0;            // the log file's content up to here has been taken
  std::unique_ptr<std::uint8_t[]> buffer;  // kTransferBufferSize bytes

  // The log file as the last read found it. Its descriptor stays open, so that after a
  // rotation the old file's last lines are still read through it.
  int log_file = -1;
  std::uint64_t log_device = 0;
  std::uint64_t log_inode = 0;
  bool watched_at_last_poll = false;  // growth since a poll that had viewers is delivered whole
  bool behind = false;                // the last poll left growth to read: poll again soon
  std::optional<Clock::time_point> missing_since;  // the log file's name has been missing since

  // Wake-ups and pacing.
  int watch = -1;                  // the log file's change watch, or -1 when it is only polled
  bool poll_wanted = true;         // something happened that calls for a look at the file
  Clock::time_point last_frame{};  // when the last frame left
};

// Allocates the transfer buffer. Returns false when no memory could be had.
bool allocate_transfer_buffer(ServiceState& state);

// One poll of the log file by path. Returns the length of the frame now waiting in the
// transfer buffer, 0 when there is nothing to send, or -1 after a fatal error was reported.
//
// At most one frame is read per poll. Growth since a poll that had viewers, while viewers are
// still connected, is delivered whole over successive polls (`behind` says more is waiting);
// growth that piled up while nobody watched, or more than kMostBehind of it, gives one frame,
// the short-read message and a jump to the file's size. A file cut back in place is reported
// and sent again from its start. When the name comes to point at another file (a rotation),
// the old file is read to its end through the kept descriptor, then the new one from its
// start. A name missing for kMissingLimit stops the daemon.
int poll_log(ServiceState& state, const Settings& settings);

// Reads and frames up to one frame of the `growth` bytes past the sent offset of the kept log
// file, whose size is `size`, and moves the sent offset on (see poll_log). A read that comes
// back empty means the writer cut the file back meanwhile: it is reported as a truncation and
// the file sent again from its start. Returns the frame length, 0 after an empty read, or -1
// after a failure was reported.
int read_growth(ServiceState& state, const Settings& settings, std::int64_t growth,
                std::int64_t size);

// Opens an IPv4 listener on `address` (in network byte order; 0, the default, is all local
// addresses). Returns its descriptor, or -1 after the failure was reported.
int open_listener(std::uint16_t port, std::uint32_t address = 0);

// Frames the log's last settings.history_bytes before the sent offset, from the start of a
// line, into the transfer buffer. Returns the frame length, or 0 when there is none to send.
int read_history(ServiceState& state, const Settings& settings);

// Serves viewers until a fatal error, which it reports before returning -1.
int run_service(int listener, const Settings& settings);

// Closes a viewer's descriptor and takes it out of the client set.
void drop_client(ServiceState& state, int descriptor);

// Sends one frame to a viewer without waiting. A send that would wait or moves only part of
// the frame fails: it is reported and the viewer dropped. Returns whether the frame went out.
bool send_frame_or_drop(ServiceState& state, int descriptor, std::size_t frame_length);

// Judges one received message of `received` bytes at the start of the transfer buffer: a
// login gets its acknowledgement or a rejection and a drop, anything else is echoed.
void handle_client_message(ServiceState& state, const Settings& settings, int descriptor,
                           std::size_t received);

}  // namespace vantrel::service
