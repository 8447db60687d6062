// Each viewer's place in the log. The log file is the buffer: a viewer that cannot take a frame
// now keeps its position and is sent the rest from the file, frame by frame, as its socket
// takes them. Viewers at the writer's position share one read and one frame. No log data is
// kept per viewer: a frame sent only in part is read and framed again to finish it.
#pragma once

#include <sys/select.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "codec/position.h"

namespace vantrel::service {

using Clock = std::chrono::steady_clock;

// The client set covers descriptors 0 to 63.
inline constexpr int kMaxDescriptors = 64;

struct ViewerSlot {
  std::int64_t position = 0;        // the log has been sent to this viewer up to here
  std::int64_t first_position = 0;  // where it started when it connected, in file generation
  std::uint32_t first_generation = 0;
  std::uint32_t generation = 0;    // the file it reads: the current one, or the one rotated away
  bool framed = false;             // it asked for a length before each frame
  bool awaits_login = false;       // it gets no log byte before it has logged in
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
};

using ViewerTable = std::array<ViewerSlot, kMaxDescriptors>;

// Something begun on the wire that must be finished before anything else goes to the viewer:
// the rest of a frame, of an answer or of a notice.
inline bool is_in_the_middle(const ViewerSlot& viewer) {
  return viewer.partial || viewer.answer_sent > 0 || viewer.notice_sent > 0;
}

// The frame the transfer buffer holds, so that viewers at one position share one read.
struct BufferedFrame {
  bool valid = false;
  std::uint32_t generation = 0;
  std::int64_t from = 0;  // log bytes [from, from + payload_length)
  std::size_t payload_length = 0;
  std::size_t frame_length = 0;
  std::int64_t next = 0;  // where a viewer stands once it has the frame
};

}  // namespace vantrel::service
