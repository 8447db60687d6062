// The log service's state, internal to src/service: one thread, one select loop, one transfer
// buffer shared by the log data, the received messages and the replies, each use finished
// before the next begins, and one record per viewer.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "codec/position.h"
#include "service/connection.h"
#include "service/counters.h"
#include "service/readiness.h"
#include "service/viewer.h"
#include "settings/settings.h"

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

// A log file as the daemon keeps it open: after a rotation, the old file's last lines are
// still read through its descriptor.
struct KeptFile {
  int descriptor = -1;  // -1: none open
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t end = 0;  // its content up to here has been taken: the sent offset
};

// The frame the transfer buffer holds, so that viewers at one position share one read.
struct BufferedFrame {
  bool valid = false;
  std::uint32_t generation = 0;
  std::int64_t from = 0;  // log bytes [from, from + payload_length)
  std::size_t payload_length = 0;
  std::size_t frame_length = 0;
  std::int64_t next = 0;  // where a viewer stands once it has the frame
};

struct ServiceState {
  int listener = -1;                              // plain TCP, or -1 where it is turned off
  int tls_listener = -1;                          // -1: no TLS
  TlsContext tls;                                 // new TLS connections' certificates
  std::array<Viewer, kMaxDescriptors> viewers{};  // by descriptor
  std::unique_ptr<std::uint8_t[]> buffer;         // kTransferBufferSize bytes
  BufferedFrame buffered;  // the frame the transfer buffer holds, if it holds one

  KeptFile log;  // the file behind the name, as the last read found it
  // The last bytes taken, up to the sent offset: a file whose bytes there changed was rewritten.
  std::array<std::uint8_t, codec::kCheckBytes> sent_tail{};
  std::size_t sent_tail_length = 0;
  bool viewers_at_last_poll = false;  // growth since a poll that had viewers is delivered whole
  bool behind = false;                // the last poll left growth to read: poll again soon
  std::optional<Clock::time_point> missing_since;  // the log file's name has been missing since

  // After a rotation, the file before it, kept until the next rotation, so that its viewers can
  // read it to its end and a viewer can resume in it.
  std::uint32_t generation = 0;  // counts rotations: which file a viewer reads
  KeptFile previous;
  std::uint64_t rewinds = 0;  // counts the times the file was cut back or rewritten in place

  // Wake-ups.
  int log_watch = -1;             // the log file's change watch, or -1 when it is only polled
  bool poll_wanted = true;        // something happened that calls for a look at the file
  Clock::time_point last_look{};  // the last poll
  Readiness readiness;            // what systemd hears, where it listens
  Counters counters;              // what an operator may ask for
};

inline Viewer& viewer_at(ServiceState& state, int descriptor) {
  return state.viewers[static_cast<std::size_t>(descriptor)];
}
inline const Viewer& viewer_at(const ServiceState& state, int descriptor) {
  return state.viewers[static_cast<std::size_t>(descriptor)];
}

inline bool is_viewer(const ServiceState& state, int descriptor) {
  return is_admitted(viewer_at(state, descriptor));
}

// The transfer buffer, taken for a use of its own: the frame it held is gone.
inline std::uint8_t* borrow_buffer(ServiceState& state) {
  state.buffered.valid = false;
  return state.buffer.get();
}

inline bool is_current(const ServiceState& state, std::uint32_t generation) {
  return generation == state.generation;
}

// The file a generation names: the current one, or the one rotated away.
inline const KeptFile& kept_file(const ServiceState& state, std::uint32_t generation) {
  return is_current(state, generation) ? state.log : state.previous;
}

}  // namespace vantrel::service
