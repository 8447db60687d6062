// The Server-Sent Events the page sends, internal to src/web: log events made from a ring, gap,
// status and sources events, and their ids.
//
// An event's id is the daemon's place after its last byte, where the daemon gives positions: a
// browser that reconnects (EventSource sends Last-Event-ID by itself), to this viewer or to
// another following the same daemon, resumes at the exact byte. Otherwise the id is the ring
// position. A browser that resumes from a position the ring no longer holds gets a gap event
// first, as it does where the daemon's log itself jumps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "web/ring.h"

namespace vantrel::web {

// The most one log event carries.
inline constexpr std::size_t kEventBytes = std::size_t{64} << 10;

// An event's id for the ring position `position`.
std::string event_id(const LogRing& ring, std::uint64_t position);

// Where a browser that last saw the event with id `last_event_id` goes on in this ring; a
// position before the ring's begin makes its first event a gap with the count. `unknown_gap`
// is set where the id names bytes this ring cannot place (another file, or too far ahead).
std::uint64_t resume_position(const LogRing& ring, const std::string& last_event_id,
                              bool& unknown_gap);

// Log bytes travel in base64: they are any bytes, while an event's data is text.
void append_base64(std::string& out, const std::vector<std::uint8_t>& bytes);
void append_base64(std::string& out, std::string_view text);

// A log event with the id `id`, carrying `bytes`.
std::string log_event(const std::string& id, const std::vector<std::uint8_t>& bytes);

// A gap event with the id `id`: `bytes` skipped, or an unknown number; with several sources,
// followed by the name of the `source` that skipped them.
std::string gap_event(const std::string& id, std::optional<std::uint64_t> bytes,
                      const std::string& source = "");

// The events that bring a browser at `position` up to date, at most about `most` bytes of
// log: a gap event when the ring no longer holds `position`, then log events. Moves `position`
// on past what they carry.
std::string next_events(const LogRing& ring, std::uint64_t& position, std::size_t most);

// A status event: whether the viewer is connected to the daemon, the file it follows, and the
// bytes it had to drop.
std::string status_event(bool connected, const std::string& file, std::uint64_t dropped);

// With several sources, every browser is told the state of all of them.
struct SourceStatus {
  std::string name;
  bool connected = false;
  std::string file;
  std::uint64_t lines = 0;
};
std::string sources_event(const std::vector<SourceStatus>& sources);

}  // namespace vantrel::web
