// What the browser viewer keeps of the stream and how it speaks to browsers, apart from the
// HTTP server: the ring of the stream's last bytes, and the Server-Sent Events built from it.
//
// Every byte the viewer writes has a position: its index in the whole stream since the viewer
// started. An event's id is the position after its last byte, so a browser that reconnects
// (EventSource sends Last-Event-ID by itself) resumes exactly where it stopped. The ring is the
// only queue: a browser that falls more than the ring behind has its stream closed, and one
// that resumes from a position the ring no longer holds gets a gap event first.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::web {

inline constexpr std::size_t kRingBytes = std::size_t{4} << 20;
// A browser that connects afresh gets this much of the most recent stream, from a line start.
inline constexpr std::size_t kRecentBytes = std::size_t{256} << 10;
// The most one log event carries.
inline constexpr std::size_t kEventBytes = std::size_t{64} << 10;

struct StreamRing {
  std::size_t capacity = kRingBytes;
  // Circular: position p lies at p % capacity. Left unwritten until the stream reaches it, so
  // that a ring costs memory only as far as it is filled.
  std::unique_ptr<std::uint8_t[]> bytes;
  std::uint64_t end = 0;  // the position after the newest byte
};

// The oldest position the ring still holds.
std::uint64_t ring_begin(const StreamRing& ring);

void append_to_ring(StreamRing& ring, const std::uint8_t* data, std::size_t size);

// Whether a browser that has read up to `position` fell more than the ring behind: its stream
// is closed rather than anything queued for it.
bool has_fallen_behind(const StreamRing& ring, std::uint64_t position);

// Where a browser starts reading: after `last_event_id` when it resumes (clamped to the ring's
// end), else the last kRecentBytes from the start of a line.
std::uint64_t start_position(const StreamRing& ring, std::optional<std::uint64_t> last_event_id);

// The events that bring a browser at `position` up to date, at most about `most` bytes of
// log: a gap event when the ring no longer holds `position`, then log events. Moves `position`
// on past what they carry. In a ring of `lines`, the gap ends at the start of a line.
std::string next_events(const StreamRing& ring, std::uint64_t& position, std::size_t most,
                        bool lines = false);

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

// A Last-Event-ID header's value, when it is a position.
std::optional<std::uint64_t> parse_event_id(const std::string& text);

}  // namespace vantrel::web
