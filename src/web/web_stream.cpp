#include "web/web_stream.h"

#include <algorithm>

namespace vantrel::web {

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

// Log bytes are any bytes, while an event's data is text without line breaks: they travel in
// base64, and the page decodes them as the terminal would show them.
void append_base64(std::string& out, const std::vector<std::uint8_t>& bytes) {
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t group =
        std::uint32_t{bytes[i]} << 16 | std::uint32_t{bytes[i + 1]} << 8 | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) out += kBase64[(group >> shift) & 63];
  }
  if (i == bytes.size()) return;
  std::uint32_t group = std::uint32_t{bytes[i]} << 16;
  if (i + 1 < bytes.size()) group |= std::uint32_t{bytes[i + 1]} << 8;
  out += kBase64[(group >> 18) & 63];
  out += kBase64[(group >> 12) & 63];
  out += i + 1 < bytes.size() ? kBase64[(group >> 6) & 63] : '=';
  out += '=';
}

std::uint8_t byte_at(const StreamRing& ring, std::uint64_t position) {
  return ring.bytes[static_cast<std::size_t>(position % ring.capacity)];
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

}  // namespace

std::uint64_t ring_begin(const StreamRing& ring) {
  return ring.end > ring.capacity ? ring.end - ring.capacity : 0;
}

void append_to_ring(StreamRing& ring, const std::uint8_t* data, std::size_t size) {
  if (!ring.bytes) ring.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(ring.capacity);
  for (std::size_t i = 0; i < size;) {
    const auto at = static_cast<std::size_t>(ring.end % ring.capacity);
    const std::size_t run = std::min(size - i, ring.capacity - at);
    std::copy(data + i, data + i + run, ring.bytes.get() + at);
    i += run;
    ring.end += run;
  }
}

bool has_fallen_behind(const StreamRing& ring, std::uint64_t position) {
  return position < ring_begin(ring);
}

namespace {

// The first position from `start` on where a whole line starts: after a line end the ring holds.
std::uint64_t line_start_from(const StreamRing& ring, std::uint64_t start) {
  if (start == 0) return 0;
  const std::uint64_t begin = ring_begin(ring);
  std::uint64_t at = start > begin ? start - 1 : begin;
  while (at < ring.end && byte_at(ring, at) != '\n') ++at;
  return at < ring.end ? at + 1 : ring.end;
}

}  // namespace

std::uint64_t start_position(const StreamRing& ring) {
  return line_start_from(
      ring, std::max(ring_begin(ring), ring.end > kRecentBytes ? ring.end - kRecentBytes : 0));
}

void place_ring(StreamRing& ring, const codec::Notice& notice) {
  if (codec::is_gap(notice)) {
    ring.gaps.push_back({ring.end, notice.skipped == codec::kUnknownSkip
                                       ? std::nullopt
                                       : std::optional<std::uint64_t>(notice.skipped)});
  }
  if (!ring.places.empty() && ring.places.back().start == ring.end) ring.places.pop_back();
  ring.places.push_back(
      {ring.end, notice.position.device, notice.position.inode, notice.position.offset});
  // What the ring no longer holds needs no place but the one it begins in.
  const std::uint64_t begin = ring_begin(ring);
  while (ring.places.size() > 1 && ring.places[1].start <= begin) ring.places.pop_front();
  while (!ring.gaps.empty() && ring.gaps.front().at < begin) ring.gaps.pop_front();
}

namespace {

// The place a ring position lies in: the newest that starts at or before it.
const RingPlace* place_of(const StreamRing& ring, std::uint64_t position) {
  const auto place = std::find_if(ring.places.rbegin(), ring.places.rend(),
                                  [&](const RingPlace& p) { return p.start <= position; });
  return place == ring.places.rend() ? nullptr : &*place;
}

std::optional<std::uint64_t> parse_part(const std::string& text, std::size_t& at) {
  const std::size_t end = std::min(text.find(':', at), text.size());
  const auto value = parse_event_id(text.substr(at, end - at));
  at = end + 1;
  return value;
}

}  // namespace

std::string event_id(const StreamRing& ring, std::uint64_t position) {
  const RingPlace* place = place_of(ring, position);
  if (place == nullptr) return std::to_string(position);
  return std::to_string(place->device) + ":" + std::to_string(place->inode) + ":" +
         std::to_string(place->offset + (position - place->start));
}

std::uint64_t resume_position(const StreamRing& ring, const std::string& last_event_id,
                              bool& unknown_gap) {
  unknown_gap = false;
  if (last_event_id.find(':') == std::string::npos) {
    if (const auto position = parse_event_id(last_event_id)) return std::min(*position, ring.end);
    return start_position(ring);
  }
  std::size_t at = 0;
  const auto device = parse_part(last_event_id, at);
  const auto inode = parse_part(last_event_id, at);
  const auto offset = parse_part(last_event_id, at);
  for (std::size_t i = ring.places.size(); device && inode && offset && i-- > 0;) {
    const RingPlace& place = ring.places[i];
    if (place.device != *device || place.inode != *inode || *offset < place.offset) continue;
    const std::uint64_t position = place.start + (*offset - place.offset);
    const std::uint64_t place_end =
        i + 1 < ring.places.size() ? ring.places[i + 1].start : ring.end;
    // Past this ring's end in its newest place: the bytes are on their way; wait for them.
    const bool newest = i + 1 == ring.places.size();
    if (position <= place_end || (newest && position - ring.end <= ring.capacity)) {
      return position;
    }
  }
  unknown_gap = true;
  return line_start_from(ring, ring_begin(ring));
}

std::string gap_event(const std::string& id, std::optional<std::uint64_t> bytes,
                      const std::string& source) {
  return "event: gap\nid: " + id +
         "\ndata: " + (bytes ? std::to_string(*bytes) : std::string("unknown")) +
         (source.empty() ? "" : " " + source) + "\n\n";
}

std::string next_events(const StreamRing& ring, std::uint64_t& position, std::size_t most) {
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
    const std::uint64_t until = gap != ring.gaps.end() ? std::min(gap->at, ring.end) : ring.end;
    const std::size_t size = static_cast<std::size_t>(
        std::min<std::uint64_t>(until - position, std::min(most, kEventBytes)));
    if (size == 0) continue;  // another gap at the same place
    chunk.resize(size);
    for (std::size_t i = 0; i < size; ++i) chunk[i] = byte_at(ring, position + i);
    position += size;
    most -= size;
    events += "event: log\nid: " + event_id(ring, position) + "\ndata: ";
    append_base64(events, chunk);
    events += "\n\n";
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
             ",\"dropped\":" + std::to_string(source.dropped) + "}";
  }
  return event + "]\n\n";
}

std::optional<std::uint64_t> parse_event_id(const std::string& text) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

}  // namespace vantrel::web
