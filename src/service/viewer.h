// One viewer, as the daemon knows it: its connection, its phase, its place in the log and its
// pace, in one record by descriptor. The log file is the buffer: a viewer that cannot take a
// frame now keeps its position and is sent the rest from the file, frame by frame, as its
// socket takes them. No log data is kept per viewer: a frame sent only in part is read and
// framed again to finish it.
#pragma once

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "codec/position.h"
#include "service/connection.h"
#include "service/whole_job.h"
#include "settings/settings.h"

namespace vantrel::service {

using Clock = std::chrono::steady_clock;

struct ServiceState;

// The viewers' descriptors are 0 to 63.
inline constexpr int kMaxDescriptors = 64;

struct Viewer {
  // Free: no viewer on this descriptor. Handshaking: TLS is being set up and no byte of the
  // log goes yet. Admitted: served the log (unless it must log in first). Logged in: its
  // password was granted.
  enum class Phase : std::uint8_t { kFree, kHandshaking, kAdmitted, kLoggedIn };
  Phase phase = Phase::kFree;
  Connection connection;
  bool login_first = false;  // it gets no log byte before it has logged in

  std::int64_t position = 0;        // the log has been sent to this viewer up to here
  std::int64_t first_position = 0;  // where it started when it connected, in file generation
  std::uint32_t first_generation = 0;
  std::uint32_t generation = 0;    // the file it reads: the current one, or the one rotated away
  bool framed = false;             // it asked for a length before each frame
  bool blocked = false;            // its socket was full at the last send: wait until it has room
  Clock::time_point last_frame{};  // when its last frame began to leave
  Clock::time_point last_progress{};  // when it last took bytes, or was last up to date
  // A frame sent in part: log bytes [partial_from, partial_from + partial_length), of which
  // partial_sent wire bytes (its length prefix included) have left; partial_next is where the
  // viewer stands once it is finished.
  bool partial = false;
  std::uint32_t partial_length = 0;
  std::uint32_t partial_sent = 0;
  std::int64_t partial_from = 0;
  std::int64_t partial_next = 0;
  // A login's answer waits for the frame in progress, and for room: it goes whole, before
  // anything else.
  enum class Answer : std::uint8_t { kNone, kGrant, kRefusal };
  Answer answer = Answer::kNone;
  bool answer_framed = false;     // the grant names lengths
  bool answer_whole = false;      // and the whole log
  std::uint32_t answer_sent = 0;  // wire bytes of the answer already sent
  // It asked for positions: where it starts (no value: the field could not be read), then a
  // notice wherever its stream jumps.
  bool asks_positions = false;
  std::optional<codec::ResumeRequest> request;
  bool positions = false;  // its stream carries notices
  // A notice waiting to go before its next frame; its bytes are made as it begins to leave,
  // once the file it names is open.
  bool notice_pending = false;
  codec::NoticeKind notice_kind = codec::NoticeKind::kStart;
  std::uint64_t notice_skipped = 0;
  std::uint8_t notice_sent = 0;
  std::array<std::uint8_t, codec::kNoticeBytes> notice{};
  // Granted the whole log: what it sends are requests, each behind its length, gathered here
  // until whole, and the last one's job.
  bool whole = false;
  std::string requests;
  WholeJob job;
};

inline bool is_admitted(const Viewer& viewer) { return viewer.phase >= Viewer::Phase::kAdmitted; }
inline bool is_handshaking(const Viewer& viewer) {
  return viewer.phase == Viewer::Phase::kHandshaking;
}

// It gets nothing but its login's answer yet.
inline bool awaits_login(const Viewer& viewer) {
  return viewer.login_first && viewer.phase == Viewer::Phase::kAdmitted;
}

// Something begun on the wire that must be finished before anything else goes to the viewer:
// the rest of a frame, of an answer or of a notice, or the whole log's answers once begun.
inline bool is_in_the_middle(const Viewer& viewer) {
  return viewer.partial || viewer.answer_sent > 0 || viewer.notice_sent > 0 ||
         is_sending(viewer.job);
}

// Whether any viewer is admitted, or any is handshaking.
bool has_viewers(const ServiceState& state);
bool has_handshakes(const ServiceState& state);

// Accepts one connection on `listener`, the plain one or the TLS one. A plain viewer is
// admitted at once; a TLS one begins its handshake.
void accept_viewer(ServiceState& state, const settings::Settings& settings, int listener);

// Makes the connection on `descriptor` a viewer: it starts at the history's start.
void admit_viewer(ServiceState& state, const settings::Settings& settings, int descriptor);

// Ends the viewer's connection and frees its record.
void drop_viewer(ServiceState& state, int descriptor);

// Says that a send to the viewer failed (`error`: why; EAGAIN where only its pace failed) and
// drops it.
void drop_for_failed_send(ServiceState& state, int descriptor, int error);

// Sends, without waiting, the wire bytes from `already` on of the frame of `frame_length` bytes
// at the start of the transfer buffer: behind its length for a viewer that asked for lengths.
// `total` is set to all its wire bytes. Returns the bytes sent (0 when the socket is full), or
// -1 after a failure.
ssize_t send_frame_rest(ServiceState& state, int descriptor, std::size_t frame_length,
                        std::size_t already, std::size_t& total);

// Sends a reply frame, at the start of the transfer buffer the caller borrowed, to a viewer
// without waiting, behind its length when the viewer asked for lengths. A send that would wait or
// moves only part of the frame fails, and so does a reply to a viewer in the middle of something
// else: it is reported and the viewer dropped. Returns whether the frame went out.
bool send_frame_or_drop(ServiceState& state, int descriptor, std::size_t frame_length);

}  // namespace vantrel::service
