#include "web/ring.h"

#include <algorithm>

namespace vantrel::web {

void add_place(RingPlaces& places, std::uint64_t start, const codec::Notice& notice) {
  if (!places.empty() && places.back().start == start) places.pop_back();
  places.push_back({start, notice.position.device, notice.position.inode, notice.position.offset});
}

const RingPlace* place_of(const RingPlaces& places, std::uint64_t position) {
  const auto place = std::find_if(places.rbegin(), places.rend(),
                                  [&](const RingPlace& p) { return p.start <= position; });
  return place == places.rend() ? nullptr : &*place;
}

std::string place_text(const RingPlace& place, std::uint64_t position) {
  return std::to_string(place.device) + ":" + std::to_string(place.inode) + ":" +
         std::to_string(place.offset + (position - place.start));
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

std::optional<NamedByte> parse_place_text(const std::string& text) {
  const std::size_t first = text.find(':');
  const std::size_t second = text.find(':', first == std::string::npos ? first : first + 1);
  if (second == std::string::npos || text.find(':', second + 1) != std::string::npos) {
    return std::nullopt;
  }
  const auto device = parse_event_id(text.substr(0, first));
  const auto inode = parse_event_id(text.substr(first + 1, second - first - 1));
  const auto offset = parse_event_id(text.substr(second + 1));
  if (!device || !inode || !offset) return std::nullopt;
  return NamedByte{*device, *inode, *offset};
}

std::uint64_t ring_begin(const LogRing& ring) {
  return ring.end > ring.capacity ? ring.end - ring.capacity : 0;
}

void append_to_ring(LogRing& ring, const std::uint8_t* data, std::size_t size) {
  if (!ring.bytes) ring.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(ring.capacity);
  for (std::size_t i = 0; i < size;) {
    const auto at = static_cast<std::size_t>(ring.end % ring.capacity);
    const std::size_t run = std::min(size - i, ring.capacity - at);
    std::copy(data + i, data + i + run, ring.bytes.get() + at);
    i += run;
    ring.end += run;
  }
}

bool has_fallen_behind(const LogRing& ring, std::uint64_t position) {
  return position < ring_begin(ring);
}

// After a line end the ring holds.
std::uint64_t line_start_from(const LogRing& ring, std::uint64_t start) {
  if (start == 0) return 0;
  const std::uint64_t begin = ring_begin(ring);
  std::uint64_t at = start > begin ? start - 1 : begin;
  while (at < ring.end && byte_at(ring, at) != '\n') ++at;
  return at < ring.end ? at + 1 : ring.end;
}

std::uint64_t start_position(const LogRing& ring) {
  return line_start_from(
      ring, std::max(ring_begin(ring), ring.end > kRecentBytes ? ring.end - kRecentBytes : 0));
}

void place_ring(LogRing& ring, const codec::Notice& notice) {
  if (codec::is_gap(notice)) {
    ring.gaps.push_back({ring.end, notice.skipped == codec::kUnknownSkip
                                       ? std::nullopt
                                       : std::optional<std::uint64_t>(notice.skipped)});
  }
  add_place(ring.places, ring.end, notice);
  // What the ring no longer holds needs no place but the one it begins in.
  const std::uint64_t begin = ring_begin(ring);
  while (ring.places.size() > 1 && ring.places[1].start <= begin) ring.places.pop_front();
  while (!ring.gaps.empty() && ring.gaps.front().at < begin) ring.gaps.pop_front();
}

}  // namespace vantrel::web
