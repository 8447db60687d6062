#include "web/events.h"

#include <algorithm>

namespace vantrel::web {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

// Log bytes are any bytes, while an event's data is text without line breaks: they travel in
// base64, and the page decodes them as the terminal would show them.
void append_base64(std::string& out, const std::vector<std::uint8_t>& bytes) {
  append_base64(out, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

void append_base64(std::string& out, std::string_view text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  std::size_t i = 0;
  for (; i + 3 <= text.size(); i += 3) {
    const std::uint32_t group =
        std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out += kBase64[(group >> shift) & 63];
  }
  if (i == text.size()) return;
  std::uint32_t group = std::uint32_t{bytes[i]} << 16;
  if (i + 1 < text.size()) group |= std::uint32_t{bytes[i + 1]} << 8;
  out += kBase64[(group >> 18) & 63];
  out += kBase64[(group >> 12) & 63];
  out += i + 1 < text.size() ? kBase64[(group >> 6) & 63] : '=';
  out += '=';
}

namespace {

std::string json_string(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\u00";
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The single ring's own positions: up to its end, and in its newest place a ring ahead, whose
// bytes are on their way.
bool ring_holds(const LogRing& ring, std::size_t place, std::uint64_t position) {
  const bool newest = place + 1 == ring.places.size();
  const std::uint64_t place_end = newest ? ring.end : ring.places[place + 1].start;
  return position <= place_end || (newest && position - ring.end <= ring.capacity);
}

// A log event's id: the place after its last byte, in the place that byte lies in.
std::string id_after(const LogRing& ring, std::uint64_t position) {
  const RingPlace* place = position == 0 ? nullptr : place_of(ring.places, position - 1);
  return place == nullptr ? event_id(ring, position) : place_text(*place, position);
}

}  // namespace

std::string event_id(const LogRing& ring, std::uint64_t position) {
  const RingPlace* place = place_of(ring.places, position);
  return place == nullptr ? std::to_string(position) : place_text(*place, position);
}

std::uint64_t resume_position(const LogRing& ring, const std::string& last_event_id,
                              bool& unknown_gap) {
  unknown_gap = false;
  if (last_event_id.find(':') == std::string::npos) {
    if (const auto position = parse_event_id(last_event_id)) return std::min(*position, ring.end);
    return start_position(ring);
  }
  if (const auto named = parse_place_text(last_event_id)) {
    const auto position = locate(ring.places, *named, [&](std::size_t place, std::uint64_t at) {
      return ring_holds(ring, place, at);
    });
    if (position) return *position;
  }
  unknown_gap = true;
  return line_start_from(ring, ring_begin(ring));
}

std::string log_event(const std::string& id, const std::vector<std::uint8_t>& bytes) {
  std::string event = "event: log\nid: " + id + "\ndata: ";
  append_base64(event, bytes);
  return event + "\n\n";
}

std::string gap_event(const std::string& id, std::optional<std::uint64_t> bytes,
                      const std::string& source) {
  return "event: gap\nid: " + id +
         "\ndata: " + (bytes ? std::to_string(*bytes) : std::string("unknown")) +
         (source.empty() ? "" : " " + source) + "\n\n";
}

std::string next_events(const LogRing& ring, std::uint64_t& position, std::size_t most) {
  std::string events;
  const std::uint64_t begin = ring_begin(ring);
  if (position < begin) {
    events += gap_event(event_id(ring, begin), begin - position);
    position = begin;
  }
  std::vector<std::uint8_t> chunk;
  auto gap = std::ranges::lower_bound(ring.gaps, position, {}, &RingGap::at);
  while (position < ring.end && most > 0) {
    // Where the daemon's stream jumped, the browser is told before the bytes after the jump.
    if (gap != ring.gaps.end() && gap->at == position)
      events += gap_event(event_id(ring, position), (gap++)->bytes);
    std::uint64_t until = gap != ring.gaps.end() ? std::min(gap->at, ring.end) : ring.end;
    // An event ends where the daemon's place changes: its id, less its size, is then where its
    // first byte lies in the daemon's log, and the page names each line by it.
    const auto next_place = std::ranges::upper_bound(ring.places, position, {}, &RingPlace::start);
    if (next_place != ring.places.end()) until = std::min(until, next_place->start);
    const std::size_t size = static_cast<std::size_t>(
        std::min<std::uint64_t>(until - position, std::min(most, kEventBytes)));
    if (size == 0) continue;  // another gap at the same place
    chunk.resize(size);
    for (std::size_t i = 0; i < size; ++i) chunk[i] = byte_at(ring, position + i);
    position += size;
    most -= size;
    events += log_event(id_after(ring, position), chunk);
  }
  return events;
}

std::string status_event(bool connected, const std::string& file, std::uint64_t dropped) {
  return std::string("event: status\ndata: {\"connected\":") + (connected ? "true" : "false") +
         ",\"file\":" + json_string(file) + ",\"dropped\":" + std::to_string(dropped) + "}\n\n";
}

std::string sources_event(const std::vector<SourceStatus>& sources) {
  std::string event = "event: sources\ndata: [";
  for (const SourceStatus& source : sources) {
    if (&source != sources.data()) event += ',';
    event += "{\"name\":" + json_string(source.name) +
             ",\"connected\":" + (source.connected ? "true" : "false") +
             ",\"file\":" + json_string(source.file) +
             ",\"lines\":" + std::to_string(source.lines) +
             // The page still reads a count of dropped bytes; nothing drops: a page that
             // cannot keep up stops the reading instead.
             ",\"dropped\":0}";
  }
  return event + "]\n\n";
}

}  // namespace vantrel::web
