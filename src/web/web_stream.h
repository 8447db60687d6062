// What the browser viewer keeps of the stream and how it speaks to browsers, apart from the
// HTTP server: the ring of the stream's last bytes, and the Server-Sent Events built from it.
//
// Every byte the viewer writes has a position in the ring: its index in the whole stream since
// the viewer started. Where the daemon gives positions, the ring also knows where each stretch
// lies in the daemon's log, and an event's id is the daemon's position after its last byte,
// "DEVICE:INODE:OFFSET" (decimal): a browser that reconnects (EventSource sends Last-Event-ID by
// itself), to this viewer or to another following the same daemon, resumes at the exact byte.
// Otherwise the id is the ring position. The ring is the only queue: a browser that falls more
// than the ring behind has its stream closed, and one that resumes from a position the ring no
// longer holds gets a gap event first, as it does where the daemon's stream itself jumps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codec/position.h"

namespace vantrel::web {

inline constexpr std::size_t kRingBytes = std::size_t{4} << 20;
// A browser that connects afresh gets this much of the most recent stream, from a line start.
inline constexpr std::size_t kRecentBytes = std::size_t{256} << 10;
// The most one log event carries.
inline constexpr std::size_t kEventBytes = std::size_t{64} << 10;

// From ring position `start` on, the stream is the daemon's log file (device, inode) from
// `offset` on.
struct RingPlace {
  std::uint64_t start = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t offset = 0;
};

// Before ring position `at`, the stream skipped `bytes` (no value: an unknown number).
struct RingGap {
  std::uint64_t at = 0;
  std::optional<std::uint64_t> bytes;
};

struct StreamRing {
  std::size_t capacity = kRingBytes;
  // Circular: position p lies at p % capacity. Left unwritten until the stream reaches it, so
  // that a ring costs memory only as far as it is filled.
  std::unique_ptr<std::uint8_t[]> bytes;
  std::uint64_t end = 0;         // the position after the newest byte
  std::deque<RingPlace> places;  // oldest first; empty where the daemon gives no positions
  std::deque<RingGap> gaps;      // oldest first
};

// The daemon says where its stream stands from the next byte on.
void place_ring(StreamRing& ring, const codec::Notice& notice);

// An event's id for the ring position `position`.
std::string event_id(const StreamRing& ring, std::uint64_t position);

// Where a browser that last saw the event with id `last_event_id` goes on in this ring; a
// position before the ring's begin makes its first event a gap with the count. `unknown_gap`
// is set where the id names bytes this ring cannot place (another file, or too far ahead).
std::uint64_t resume_position(const StreamRing& ring, const std::string& last_event_id,
                              bool& unknown_gap);

// The oldest position the ring still holds.
std::uint64_t ring_begin(const StreamRing& ring);

void append_to_ring(StreamRing& ring, const std::uint8_t* data, std::size_t size);

// Whether a browser that has read up to `position` fell more than the ring behind: its stream
// is closed rather than anything queued for it.
bool has_fallen_behind(const StreamRing& ring, std::uint64_t position);

// Where a browser that does not resume starts reading: the last kRecentBytes from the start of
// a line.
std::uint64_t start_position(const StreamRing& ring);

// A gap event with the id `id`: `bytes` skipped, or an unknown number; with several sources,
// followed by the name of the `source` that skipped them.
std::string gap_event(const std::string& id, std::optional<std::uint64_t> bytes,
                      const std::string& source = "");

// The events that bring a browser at `position` up to date, at most about `most` bytes of
// log: a gap event when the ring no longer holds `position`, then log events. Moves `position`
// on past what they carry.
std::string next_events(const StreamRing& ring, std::uint64_t& position, std::size_t most);

// The byte at `position`, which the ring must hold.
std::uint8_t byte_at(const StreamRing& ring, std::uint64_t position);

// Log bytes travel in base64: they are any bytes, while an event's data is text.
void append_base64(std::string& out, const std::vector<std::uint8_t>& bytes);

// A status event: whether the viewer is connected to the daemon, the file it follows, and the
// bytes it had to drop.
std::string status_event(bool connected, const std::string& file, std::uint64_t dropped);

// With several sources, every stream tells the state of all of them.
struct SourceStatus {
  std::string name;
  bool connected = false;
  std::string file;
  std::uint64_t lines = 0;
  std::uint64_t dropped = 0;
};
std::string sources_event(const std::vector<SourceStatus>& sources);

// A decimal number of at most 19 digits, as ids are made of.
std::optional<std::uint64_t> parse_event_id(const std::string& text);

}  // namespace vantrel::web
