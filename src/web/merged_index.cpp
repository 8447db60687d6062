#include "web/merged_index.h"

#include <algorithm>
#include <random>

namespace vantrel::web {

namespace {

constexpr std::uint64_t kCheckpointLines = 64;

std::uint64_t line_start(const MergedIndex& index, std::size_t i) {
  return i == 0 ? index.lines_start : index.lines[i - 1].end;
}

// The index of the line that starts at or after `position`.
std::size_t line_at(const MergedIndex& index, std::uint64_t position) {
  return static_cast<std::size_t>(
      std::ranges::upper_bound(index.lines, position, {}, &MergedLine::end) - index.lines.begin());
}

// How many of the line's bytes (its content, then its newline) a browser that has seen its
// source up to `seen` has not seen.
std::uint64_t unseen_bytes(const MergedLine& line, std::uint64_t start, std::uint64_t seen) {
  const std::uint64_t size = line.end - start - 1;
  if (seen >= line.source_end) return 0;
  const std::uint64_t source_start = line.source_end - (line.ended ? 1 : 0) - (size - 1);
  return seen > source_start ? size - (seen - source_start) : size;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t at = 0;
  for (std::size_t end; (end = text.find(separator, at)) != std::string::npos; at = end + 1) {
    parts.push_back(text.substr(at, end - at));
  }
  parts.push_back(text.substr(at));
  return parts;
}

// Marks a position in this viewer's own stream of a source.
std::string own_tag(const MergedIndex& index) {
  std::string tag = "r";
  tag += std::to_string(index.nonce);
  return tag;
}

// The position in `source`'s stream an id's entry names, if this viewer can place it.
std::optional<std::uint64_t> place_entry(const MergedIndex& index, std::uint32_t source,
                                         const std::string& entry) {
  const std::vector<std::string> parts = split(entry, ':');
  if (parts.size() == 2 && parts[0] == own_tag(index)) {
    return parse_event_id(parts[1]);
  }
  const auto named = parse_place_text(entry);
  if (!named) return std::nullopt;
  const RingPlaces& places = index.places[source];
  // Ahead of what this viewer has: the bytes are on their way.
  return locate(places, *named, [&](std::size_t place, std::uint64_t position) {
    return place + 1 == places.size() || position <= places[place + 1].start;
  });
}

}  // namespace

MergedIndex make_merged_index(const std::vector<std::string>& names) {
  MergedIndex index;
  index.names = names;
  index.nonce = std::uniform_int_distribution<std::uint64_t>(
      1, 999999999)(*std::make_unique<std::random_device>());
  index.base.assign(names.size(), 0);
  index.taken.assign(names.size(), 0);
  index.places.resize(names.size());
  return index;
}

namespace {

void index_merged_line(MergedIndex& index, const LogRing& ring, MergedLine line, std::size_t size) {
  const std::uint64_t number = index.first_line + index.lines.size();
  if (number % kCheckpointLines == 0) index.checkpoints.push_back({number, index.taken});
  if (index.lines.empty()) index.lines_start = ring.end - size - 2;
  index.taken[line.source] = line.source_end;
  index.lines.push_back(line);
  // Lines the ring no longer holds whole leave the index; their sources' positions stay.
  const std::uint64_t begin = ring_begin(ring);
  while (!index.lines.empty() && index.lines_start < begin) {
    const MergedLine& oldest = index.lines.front();
    index.base[oldest.source] = oldest.source_end;
    index.lines_start = oldest.end;
    index.lines.pop_front();
    ++index.first_line;
  }
  while (!index.checkpoints.empty() && index.checkpoints.front().line < index.first_line) {
    index.checkpoints.pop_front();
  }
  for (std::uint32_t s = 0; s < index.places.size(); ++s) {
    auto& places = index.places[s];
    while (places.size() > 1 && places[1].start <= index.base[s]) places.pop_front();
  }
}

void append_line_bytes(LogRing& ring, std::uint32_t source, std::string_view line) {
  const auto number = static_cast<std::uint8_t>(kMergedNumberBase + source);
  append_to_ring(ring, &number, 1);
  append_to_ring(ring, reinterpret_cast<const std::uint8_t*>(line.data()), line.size());
  append_to_ring(ring, reinterpret_cast<const std::uint8_t*>("\n"), 1);
}

}  // namespace

void append_merged_line(LogRing& ring, MergedIndex& index, std::uint32_t source,
                        std::string_view line, bool ended) {
  append_line_bytes(ring, source, line);
  const std::uint64_t source_end = index.taken[source] + line.size() + (ended ? 1 : 0);
  index_merged_line(index, ring, {ring.end, source_end, source, ended, false}, line.size());
}

void append_merged_gap(LogRing& ring, MergedIndex& index, std::uint32_t source,
                       std::optional<std::uint64_t> bytes) {
  const std::string count = bytes ? std::to_string(*bytes) : std::string("unknown");
  append_line_bytes(ring, source, count);
  index_merged_line(index, ring, {ring.end, index.taken[source], source, false, true},
                    count.size());
}

void place_merged_source(MergedIndex& index, std::uint32_t source, std::uint64_t position,
                         const codec::Notice& notice) {
  add_place(index.places[source], position, notice);
}

SourcePositions positions_at(const MergedIndex& index, std::uint64_t position) {
  const std::uint64_t whole = line_at(index, position);
  const std::uint64_t number = index.first_line + whole;
  const auto checkpoint =
      std::ranges::upper_bound(index.checkpoints, number, {}, &MergedCheckpoint::line);
  SourcePositions positions = index.base;
  std::size_t from = 0;
  if (checkpoint != index.checkpoints.begin()) {
    positions = std::prev(checkpoint)->positions;
    from = static_cast<std::size_t>(std::prev(checkpoint)->line - index.first_line);
  }
  for (std::size_t i = from; i < whole; ++i) {
    positions[index.lines[i].source] = index.lines[i].source_end;
  }
  return positions;
}

std::string merged_event_id(const MergedIndex& index, const SourcePositions& positions) {
  std::string id;
  for (std::uint32_t s = 0; s < positions.size(); ++s) {
    if (s > 0) id += ',';
    const RingPlace* place = place_of(index.places[s], positions[s]);
    if (place == nullptr) {
      id += own_tag(index) + ":" + std::to_string(positions[s]);
    } else {
      id += place_text(*place, positions[s]);
    }
  }
  return id;
}

MergedResume resume_merged(const MergedIndex& index, const LogRing& ring,
                           const std::string& last_event_id) {
  MergedResume resume{ring.end, index.base, {}};
  std::vector<std::string> entries = split(last_event_id, ',');
  if (entries.size() != index.names.size()) entries.assign(index.names.size(), "");
  std::vector<std::pair<std::optional<std::uint64_t>, std::uint32_t>> gaps;
  for (std::uint32_t s = 0; s < entries.size(); ++s) {
    const auto seen = place_entry(index, s, entries[s]);
    if (!seen) {
      gaps.emplace_back(std::nullopt, s);
    } else if (*seen < index.base[s]) {
      gaps.emplace_back(index.base[s] - *seen, s);
    } else {
      resume.seen[s] = *seen;
    }
  }
  // From the first line that holds something not seen.
  for (std::size_t i = 0; i < index.lines.size(); ++i) {
    const MergedLine& line = index.lines[i];
    // A gap is told again rather than missed where an id cannot tell whether it was crossed.
    const std::uint64_t seen = resume.seen[line.source];
    if (line.source_end > seen || (line.gap && line.source_end == seen)) {
      resume.position = line_start(index, i);
      break;
    }
  }
  for (const auto& [bytes, source] : gaps) {
    resume.gaps += gap_event(merged_event_id(index, resume.seen), bytes, index.names[source]);
  }
  return resume;
}

namespace {

std::string gap_line_event(const LogRing& ring, const MergedIndex& index, const MergedLine& line,
                           std::uint64_t start, const std::string& id) {
  std::string count;
  for (std::uint64_t at = start + 1; at + 1 < line.end; ++at) {
    count += static_cast<char>(byte_at(ring, at));
  }
  return gap_event(id, parse_event_id(count), index.names[line.source]);
}

}  // namespace

std::string next_merged_events(const MergedIndex& index, const LogRing& ring,
                               std::uint64_t& position, SourcePositions& seen, std::size_t most) {
  std::string events;
  if (position < index.lines_start) {  // the ring moved on before the browser's first read
    position = index.lines_start;
    events += gap_event(merged_event_id(index, positions_at(index, position)), std::nullopt);
  }
  SourcePositions at = positions_at(index, position);
  const auto id = [&] {
    SourcePositions told = at;
    for (std::size_t s = 0; s < seen.size(); ++s) told[s] = std::max(told[s], seen[s]);
    return merged_event_id(index, told);
  };
  std::vector<std::uint8_t> chunk;
  for (std::size_t i = line_at(index, position); i < index.lines.size() && most > 0; ++i) {
    const MergedLine& line = index.lines[i];
    const std::uint64_t start = line_start(index, i);
    const std::uint64_t unseen =
        seen.empty() ? line.end - start - 1 : unseen_bytes(line, start, seen[line.source]);
    at[line.source] = line.source_end;
    position = line.end;
    most -= std::min<std::size_t>(most, line.end - start);
    if (line.gap) {
      // A gap it has crossed already, on another viewer, is not told again.
      if (!seen.empty() && seen[line.source] > line.source_end) continue;
      if (!chunk.empty()) events += log_event(id(), chunk);
      chunk.clear();
      events += gap_line_event(ring, index, line, start, id());
      continue;
    }
    if (unseen == 0) continue;
    chunk.push_back(static_cast<std::uint8_t>(kMergedNumberBase + line.source));
    for (std::uint64_t b = line.end - unseen; b < line.end; ++b) chunk.push_back(byte_at(ring, b));
    if (chunk.size() >= kEventBytes) {
      events += log_event(id(), chunk);
      chunk.clear();
    }
  }
  if (!chunk.empty()) events += log_event(id(), chunk);
  // Once it has passed all it had seen, the browser reads as every other.
  if (std::ranges::equal(seen, at, std::less_equal<>())) seen.clear();
  return events;
}

}  // namespace vantrel::web
