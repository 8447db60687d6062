// The page's ring of the log's last bytes, internal to src/web, apart from the HTTP server and
// from the events made of it.
//
// Every byte the viewer writes has a position in the ring: its index in all the log the viewer
// has received since it started. Where the daemon gives positions, the ring also knows where
// each stretch lies in the daemon's log: a place, "DEVICE:INODE:OFFSET" (decimal) once written
// out, names one byte of one file for every viewer that follows the same daemon. The ring is
// the only queue: a browser that falls more than the ring behind is let go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "codec/position.h"

namespace vantrel::web {

inline constexpr std::size_t kRingBytes = std::size_t{4} << 20;
// A browser that connects afresh gets this much of the most recent log, from a line start.
inline constexpr std::size_t kRecentBytes = std::size_t{256} << 10;

// From ring position `start` on, the log received is the daemon's log file (device, inode)
// from `offset` on. The single rings and the merged index keep these alike.
struct RingPlace {
  std::uint64_t start = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t offset = 0;
};
using RingPlaces = std::deque<RingPlace>;

// Before ring position `at`, the log skipped `bytes` (no value: an unknown number).
struct RingGap {
  std::uint64_t at = 0;
  std::optional<std::uint64_t> bytes;
};

struct LogRing {
  std::size_t capacity = kRingBytes;
  // Circular: position p lies at p % capacity. Left unwritten until the log reaches it, so
  // that a ring costs memory only as far as it is filled.
  std::unique_ptr<std::uint8_t[]> bytes;
  std::uint64_t end = 0;     // the position after the newest byte
  RingPlaces places;         // oldest first; empty where the daemon gives no positions
  std::deque<RingGap> gaps;  // oldest first
};

// ---- Places ----

// The daemon says where its log stands from position `start` on.
void add_place(RingPlaces& places, std::uint64_t start, const codec::Notice& notice);

// The place a position lies in: the newest that starts at or before it; null when none does.
const RingPlace* place_of(const RingPlaces& places, std::uint64_t position);

// "DEVICE:INODE:OFFSET" of `position`, which lies in `place`.
std::string place_text(const RingPlace& place, std::uint64_t position);

// A decimal number of at most 19 digits, as ids are made of.
std::optional<std::uint64_t> parse_event_id(const std::string& text);

// The file and offset "DEVICE:INODE:OFFSET" names; no value where it is not three numbers.
struct NamedByte {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t offset = 0;
};
std::optional<NamedByte> parse_place_text(const std::string& text);

// The position of `named` in `places`: from the newest place of its file that starts at or
// before its offset, the first for which accept(index of the place, position) holds.
template <typename Accept>
std::optional<std::uint64_t> locate(const RingPlaces& places, const NamedByte& named,
                                    Accept accept) {
  for (std::size_t i = places.size(); i-- > 0;) {
    const RingPlace& place = places[i];
    if (place.device != named.device || place.inode != named.inode || named.offset < place.offset)
      continue;
    const std::uint64_t position = place.start + (named.offset - place.offset);
    if (accept(i, position)) return position;
  }
  return std::nullopt;
}

// ---- The ring ----

// The daemon says where its log stands from the next byte on.
void place_ring(LogRing& ring, const codec::Notice& notice);

// The oldest position the ring still holds.
std::uint64_t ring_begin(const LogRing& ring);

void append_to_ring(LogRing& ring, const std::uint8_t* data, std::size_t size);

// Whether a browser that has read up to `position` fell more than the ring behind: it is let go
// rather than anything queued for it.
bool has_fallen_behind(const LogRing& ring, std::uint64_t position);

// The first position from `start` on where a whole line starts.
std::uint64_t line_start_from(const LogRing& ring, std::uint64_t start);

// Where a browser that does not resume starts reading: the last kRecentBytes from the start of
// a line.
std::uint64_t start_position(const LogRing& ring);

// The byte at `position`, which the ring must hold. Inline: the events read the ring by it,
// byte by byte.
inline std::uint8_t byte_at(const LogRing& ring, std::uint64_t position) {
  return ring.bytes[static_cast<std::size_t>(position % ring.capacity)];
}

}  // namespace vantrel::web
