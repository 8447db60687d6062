// The log service's state and the functions its files share, internal to src/service: the log
// growth reader, the listeners and the service loop, each viewer's place, positions, the login
// exchange. One thread, one select loop, one transfer buffer shared by the log data, the
// received messages and the replies, each use finished before the next begins.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "codec/position.h"
#include "service/connection.h"
#include "service/service.h"
#include "service/viewer_table.h"
#include "settings/settings.h"

struct ssl_ctx_st;

namespace vantrel::service {

using settings::Settings;

// One receive takes at most this many bytes.
inline constexpr std::size_t kReceiveSize = 65536;
// The buffer's spare room past a full receive holds the terminator that decoding writes and
// the padding, trailer and zero byte of a reply built from a full receive.
inline constexpr std::size_t kTransferBufferSize = kReceiveSize + 8;
// The send buffer each viewer's socket asks for: room for many frames, so that a viewer that
// keeps up is never dropped by a send that would have to wait.
inline constexpr int kSendBufferBytes = 1 << 20;
// Longest a wait lasts while viewers are connected: the safety net where the file system sends
// no change events.
inline constexpr std::chrono::seconds kWaitLimit{2};
// Frames to a viewer that takes one receive to be one frame leave at least this far apart, so
// that frames rarely run together in its socket; viewers that asked for lengths get each change
// at once.
inline constexpr std::chrono::milliseconds kFrameInterval{10};
// A viewer that has taken nothing for this long while behind is dropped.
inline constexpr std::chrono::seconds kStallLimit{30};
// A log file whose name is missing for this long has been removed for good; shorter, it is the
// instant between a rotation's rename and its create.
inline constexpr std::chrono::seconds kMissingLimit{2};
// Live growth is delivered whole unless the daemon falls this far behind the writer, and a
// viewer this far behind is dropped.
inline constexpr std::int64_t kMostBehind = std::int64_t{16} << 20;

struct ServiceState {
  int listener = -1;             // plain TCP, or -1 where it is turned off
  int tls_listener = -1;         // -1: no TLS
  TlsContext tls;                // new TLS connections' certificates
  bool reload_watched = false;   // SIGHUP reads them again
  std::uint64_t handshakes = 0;  // bit d set: descriptor d's TLS handshake is under way
  std::array<Connection, kMaxDescriptors> connections{};  // by descriptor
  std::uint64_t clients = 0;     // bit d set: descriptor d is a connected viewer
  int client_count = 0;          // decides whether the wait is limited
  std::int64_t sent_offset = 0;  // the log file's content up to here has been taken
  // The last bytes taken, up to the sent offset: a file whose bytes there changed was rewritten.
  std::array<std::uint8_t, codec::kCheckBytes> sent_tail{};
  std::size_t sent_tail_length = 0;
  std::unique_ptr<std::uint8_t[]> buffer;  // kTransferBufferSize bytes

  // The log file as the last read found it. Its descriptor stays open, so that after a
  // rotation the old file's last lines are still read through it.
  int log_file = -1;
  std::uint64_t log_device = 0;
  std::uint64_t log_inode = 0;
  bool watched_at_last_poll = false;  // growth since a poll that had viewers is delivered whole
  bool behind = false;                // the last poll left growth to read: poll again soon
  std::optional<Clock::time_point> missing_since;  // the log file's name has been missing since

  // After a rotation, the file before it, kept until its viewers have read it to its end.
  std::uint32_t generation = 0;  // counts rotations: which file a viewer reads
  // Kept until the next rotation, so that a viewer can resume in it.
  int previous_file = -1;
  std::int64_t previous_end = 0;
  std::uint64_t previous_device = 0;
  std::uint64_t previous_inode = 0;

  ViewerTable viewers;     // by descriptor, for the descriptors in the client set
  BufferedFrame buffered;  // the frame the transfer buffer holds, if it holds one

  // Wake-ups.
  int watch = -1;           // the log file's change watch, or -1 when it is only polled
  bool poll_wanted = true;  // something happened that calls for a look at the file
};

inline bool is_client(const ServiceState& state, int descriptor) {
  return (state.clients >> descriptor & 1U) != 0;
}

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

// Opens the file behind the log's name and keeps it, if no file is kept yet. Returns false after
// reporting a failure.
bool keep_log_file(ServiceState& state, const Settings& settings);

// Where a new viewer starts: the start of the first whole line within the log's last
// settings.history_bytes before the sent offset, or the sent offset when there is none.
std::int64_t history_start(ServiceState& state, const Settings& settings);

// A viewer's socket takes many frames and sends each at once.
void tune_viewer_socket(int descriptor);

// Closes a viewer's descriptor and takes it out of the client set.
void drop_client(ServiceState& state, int descriptor);

// Sends a reply frame to a viewer without waiting, behind its length when the viewer asked for
// lengths. A send that would wait or moves only part of the frame fails, and so does a reply to
// a viewer in the middle of a log frame: it is reported and the viewer dropped. Returns whether
// the frame went out.
bool send_frame_or_drop(ServiceState& state, int descriptor, std::size_t frame_length);

// ---- Each viewer at its own pace (viewer_table.cpp) ----

// Sends, without waiting, the wire bytes from `already` on of the frame of `frame_length` bytes
// at the start of the transfer buffer: behind its length for a viewer that asked for lengths.
// `total` is set to all its wire bytes. Returns the bytes sent (0 when the socket is full), or
// -1 after a failure.
ssize_t send_frame_rest(ServiceState& state, int descriptor, std::size_t frame_length,
                        std::size_t already, std::size_t& total);

// A viewer accepted on `descriptor` starts at the history's start.
void start_viewer(ServiceState& state, const Settings& settings, int descriptor);

// Sends each viewer what it can take now: first the frame the transfer buffer holds to every
// viewer that stands at it, then the rest from the file, frame by frame.
void serve_viewers(ServiceState& state, const Settings& settings);

// Drops the viewers that took nothing for kStallLimit while behind, and those without positions
// more than kMostBehind behind; those with positions further behind than the resume bound (and
// kMostBehind) skip ahead to it.
void drop_lagging_viewers(ServiceState& state, const Settings& settings);

// Adds the viewers waiting for room in their sockets to `room`. Returns the highest descriptor
// added, or -1.
int add_room_waits(const ServiceState& state, fd_set& room);

// The viewers that `room` says have room may be sent to again.
void take_room(ServiceState& state, const fd_set& room);

// When a viewer with more to take may next be sent a frame, if one waits.
std::optional<Clock::time_point> next_viewer_turn(const ServiceState& state);

// The file was cut back in place: every viewer of it starts again from its start.
void rewind_viewers(ServiceState& state);

// The file was cut back and grew past the sent offset between two looks, or was rewritten in
// place: its size cannot tell, the bytes before the sent offset can. Viewers with positions
// start again from its start and are told; the others go on from the sent offset as before.
void rewind_viewers_with_positions(ServiceState& state);

// The name now leads to another file and the kept one has been read to its end: the kept one
// stays open for the viewers still reading it, and the next read starts the new one.
void retire_log_file(ServiceState& state);

// ---- Positions, for viewers that ask for them (resume.cpp) ----

// The first line start at or after `from` (which it is when the byte before ends a line) in
// `file` before `end`, or `from` when no line starts there. Uses the transfer buffer.
std::int64_t line_start_within(ServiceState& state, int file, std::int64_t from, std::int64_t end);

// The viewer's login was granted: it starts where its resume field asks, as far as the file
// still holds that and the resume bound allows, and a notice tells it where.
void place_viewer(ServiceState& state, const Settings& settings, int descriptor);

// Queues a notice of where the viewer's stream goes on, to go before its next frame.
void queue_notice(ViewerSlot& viewer, codec::NoticeKind kind, std::uint64_t skipped);

// Sends what is left of the viewer's notice. Returns whether all of it has gone.
bool send_notice(ServiceState& state, const Settings& settings, int descriptor);

// A viewer with positions that fell further behind than the daemon keeps for it goes on from
// the bound, and is told how much it skipped.
void skip_lagging_viewer(ServiceState& state, const Settings& settings, int descriptor);

// Sends what is left of the login's answer the viewer waits for. Returns whether all of it has
// gone and the viewer is still connected.
bool send_answer(ServiceState& state, const Settings& settings, int descriptor);

// Judges one received message of `received` bytes at the start of the transfer buffer: a
// login gets its acknowledgement or a rejection and a drop, anything else is echoed.
void handle_client_message(ServiceState& state, const Settings& settings, int descriptor,
                           std::size_t received);

}  // namespace vantrel::service
