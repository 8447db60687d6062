// The merged channel's index, internal to src/web: which source each line of the merged ring
// came from and where it ended in that source's stream. An event's id then carries every
// source's position, and a browser that comes from another viewer, where the sources' lines
// arrived in another order, gets the lines it has not seen and only those.
//
// A merged id is one entry per source, in the order the sources were given, joined by ",":
// "DEVICE:INODE:OFFSET" where the daemon gives positions, else "rNONCE:POSITION", a position in
// this viewer's own stream of that source, which only this viewer (its random NONCE) can place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web/events.h"
#include "web/ring.h"

namespace vantrel::web {

// A line's first byte in the merged ring: this plus its source's index.
inline constexpr std::size_t kMergedNumberBase = 0x80;

// Where a browser of the merged channel stands in each source: the position in that source's
// stream (its bytes as this viewer received them) after the last byte it has been sent.
using SourcePositions = std::vector<std::uint64_t>;

struct MergedLine {
  std::uint64_t end = 0;         // the merged position after its newline
  std::uint64_t source_end = 0;  // the source's position after it
  std::uint32_t source = 0;
  bool ended = false;  // by the source's own newline, not one added to a line that waited
  bool gap = false;    // not a line: the source's stream skipped (its count is the line)
};

// Every source's position before a line, kept every so many lines so that an id needs no walk
// through the whole ring.
struct MergedCheckpoint {
  std::uint64_t line = 0;  // the line's number since the viewer started
  SourcePositions positions;
};

struct MergedIndex {
  std::vector<std::string> names;
  std::uint64_t nonce = 0;
  std::deque<MergedLine> lines;   // the lines the merged ring holds, oldest first
  std::uint64_t lines_start = 0;  // the merged position where the oldest starts
  std::uint64_t first_line = 0;   // the oldest's number
  std::deque<MergedCheckpoint> checkpoints;
  SourcePositions base;            // each source's position before the oldest line
  SourcePositions taken;           // each source's position after its newest line
  std::vector<RingPlaces> places;  // where each source's stream lies in its log
};

MergedIndex make_merged_index(const std::vector<std::string>& names);

// Adds a line of `source` to the merged ring: the source's number (never a newline, so that a
// line end is always one), the line, a newline.
void append_merged_line(LogRing& ring, MergedIndex& index, std::uint32_t source,
                        std::string_view line, bool ended);

// The daemon's stream of `source` skipped `bytes` (no value: an unknown number) here. The gap
// takes a line of the ring, so that a browser crosses it once, wherever it resumes.
void append_merged_gap(LogRing& ring, MergedIndex& index, std::uint32_t source,
                       std::optional<std::uint64_t> bytes);

// The daemon says where `source`'s stream, now at `position`, stands from there on.
void place_merged_source(MergedIndex& index, std::uint32_t source, std::uint64_t position,
                         const codec::Notice& notice);

// Every source's position once a browser has read the merged ring up to `position`.
SourcePositions positions_at(const MergedIndex& index, std::uint64_t position);

std::string merged_event_id(const MergedIndex& index, const SourcePositions& positions);

// A browser that resumes from a merged id: where it reads on, what it has already seen of each
// source (empty once nothing it has seen lies ahead), and the gap events it is told first.
struct MergedResume {
  std::uint64_t position = 0;
  SourcePositions seen;
  std::string gaps;
};
MergedResume resume_merged(const MergedIndex& index, const LogRing& ring,
                           const std::string& last_event_id);

// The events that bring a browser of the merged ring on from `position`: with `seen`, only the
// bytes of each source past what it has seen; `seen` is emptied once nothing of it lies ahead.
std::string next_merged_events(const MergedIndex& index, const LogRing& ring,
                               std::uint64_t& position, SourcePositions& seen, std::size_t most);

}  // namespace vantrel::web
