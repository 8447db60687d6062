// The reading of a stream without lengths, for the frame assembly: where frames may end, every
// cut of the bytes into whole frames, and the score of each reading as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "follow/frame_assembly.h"

namespace vantrel::follow::cuts {

// The daemon frames only growth and replies, never an empty payload: a lone trailer byte is
// taken for a coincidence.
inline constexpr std::size_t kShortestFrame = 5;

// Bytes past the last written frame that no cut reaches, beyond this, are no frames at all.
inline constexpr std::size_t kMostUnread = 2 * kMaxBlock;

// What a reading must score per byte on average to read like text.
inline constexpr int kLikeTextScore = 2;

inline constexpr std::size_t kLookAhead = 64;  // bytes read from a start

inline bool is_trailer_value(std::uint8_t byte) { return static_cast<std::uint8_t>(byte - 1) < 4; }

inline bool is_utf8_continuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Whether byte `at` of `text` belongs to a valid UTF-8 sequence; a sequence cut short by the
// end of the text counts as valid.
bool in_utf8_sequence(const std::uint8_t* text, std::size_t size, std::size_t at);

inline std::size_t trailer_at(const FrameAssembly& assembly, std::size_t end) {
  return assembly.bytes[end - 1];
}

// Where the payload of the frame that ends at `end` ends.
inline std::size_t payload_end(const FrameAssembly& assembly, std::size_t end) {
  return end - trailer_at(assembly, end);
}

void find_ends(FrameAssembly& assembly);

// Row r of the sums reads byte i as it decodes in a frame that starts at a position r modulo
// 4; the bytes' start is a group boundary. A byte's score may depend on the three after it
// (UTF-8), so the last three are scored again when more bytes come.
void extend_scores(FrameAssembly& assembly);

// Where a reading's last frame starts: a position, or the last written frame going on.
inline constexpr std::ptrdiff_t kGoesOn = -1;

struct Reach {
  int best = 0;                   // score of the likeliest reading up to here
  std::ptrdiff_t from = kGoesOn;  // where that reading's last frame starts
  int ways = 0;                   // readings that end here, counted up to 2
  bool tied = false;              // another reading scored the same
};

struct Reading {
  std::size_t origin = 0;              // written_end
  std::vector<Reach> reach;            // by position from the origin on; ways 0: not reached
  std::vector<std::size_t> positions;  // reached, ascending
  Reach& at(std::size_t position) { return reach[position - origin]; }
  const Reach& at(std::size_t position) const { return reach[position - origin]; }
  bool reaches(std::size_t position) const { return at(position).ways > 0; }
  bool scored = false;
};

// Every cut of the bytes after the last written frame into whole frames, and every way that
// frame may go on past its cut. Unscored, every reading scores 0: enough to count them.
// Fills `reading` afresh, keeping the room its vectors already have.
void read_cuts(const FrameAssembly& assembly, bool scored, Reading& reading);

// Whether the cuts leave one reading: each position reached once, from the one before it.
bool is_single_reading(const Reading& reading);

// The position whose reading, with the bytes after it taken as the start of one more frame,
// scores highest: after a false cut those bytes decode as garbage, so the true cut wins. The
// last written frame going on past the end of the bytes competes too (kGoesOn). Returns a
// position, or kGoesOn.
std::ptrdiff_t likeliest_end(const FrameAssembly& assembly, const Reading& reading);

}  // namespace vantrel::follow::cuts
