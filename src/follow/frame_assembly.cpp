#include <algorithm>
#include <cstring>

#include "codec/frame.h"
#include "follow/frame_cuts.h"

namespace vantrel::follow {

namespace {

using cuts::extend_scores;
using cuts::find_ends;
using cuts::in_utf8_sequence;
using cuts::is_single_reading;
using cuts::is_trailer_value;
using cuts::is_utf8_continuation;
using cuts::kGoesOn;
using cuts::kLikeTextScore;
using cuts::kLookAhead;
using cuts::kMostUnread;
using cuts::kShortestFrame;
using cuts::likeliest_end;
using cuts::payload_end;
using cuts::Reach;
using cuts::read_cuts;
using cuts::Reading;
using cuts::trailer_at;

// ---- Writing ----

// Appends bytes [from, to) of the frame that starts at `start`, decoded, to the output.
void emit(FrameAssembly& assembly, std::size_t start, std::size_t from, std::size_t end,
          bool padded, bool continues) {
  const std::size_t to = payload_end(assembly, end);
  const std::size_t offset = assembly.output.size();
  const std::size_t size = to - from;
  const auto first = assembly.bytes.begin() + static_cast<std::ptrdiff_t>(from);
  assembly.output.insert(assembly.output.end(), first, first + static_cast<std::ptrdiff_t>(size));
  assembly.output.resize(offset + size + 3);  // room for the last group
  std::uint8_t* out = assembly.output.data() + offset;
  const std::size_t phase = (from - start) % 4;
  const Key shifted{assembly.key[phase], assembly.key[(phase + 1) % 4],
                    assembly.key[(phase + 2) % 4], assembly.key[(phase + 3) % 4]};
  codec::scramble_groups(out, size + 3, shifted);
  assembly.output.resize(offset + size);
  assembly.payloads.push_back(Payload{offset, size, padded, continues, assembly.forgotten + end});
}

// Lets go of the bytes before `start`, a whole number of groups of them, so that positions
// keep their phase.
void forget_before(FrameAssembly& assembly, std::size_t start) {
  const std::size_t drop = start / 4 * 4;
  if (drop == 0) return;
  assembly.forgotten += drop;
  assembly.bytes.erase(assembly.bytes.begin(),
                       assembly.bytes.begin() + static_cast<std::ptrdiff_t>(drop));
  for (std::vector<std::size_t>& ends : assembly.ends) {
    auto kept = std::upper_bound(ends.begin(), ends.end(), drop);
    ends.erase(ends.begin(), kept);
    std::transform(ends.begin(), ends.end(), ends.begin(),
                   [drop](std::size_t end) { return end - drop; });
  }
  assembly.ends_scanned -= drop;
  // Only differences of the sums are read, and `drop` keeps every phase: the rest stays good.
  for (std::vector<int>& sums : assembly.score_sums) {
    sums.erase(sums.begin(),
               sums.begin() + static_cast<std::ptrdiff_t>(std::min(drop, sums.size())));
  }
  assembly.written_start -= drop;
  assembly.written_end -= drop;
}

// Whether the bytes after a frame that ends at `end` read as text as the start of the next
// frame (a trailer value may be its trailer): a false cut in data that is not text is rarely
// followed by text, a true cut in text always.
bool next_reads_as_text(const FrameAssembly& assembly, std::size_t end) {
  const std::size_t size = std::min(assembly.bytes.size() - end, kLookAhead / 4);
  if (size < 4) return false;
  std::uint8_t next[kLookAhead / 4];
  for (std::size_t i = 0; i < size; ++i) {
    next[i] = static_cast<std::uint8_t>(assembly.bytes[end + i] ^ assembly.key[i % 4]);
    if (is_trailer_value(assembly.bytes[end + i])) next[i] = ' ';
  }
  return reads_as_text(next, size);
}

// Whether the payload emitted last, of a frame that ends at `end`, reads as text; if not, and
// only text may be written, it is taken back.
bool keep_emitted(FrameAssembly& assembly, bool text_only, std::size_t end) {
  const Payload& last = assembly.payloads.back();
  if (!text_only || (reads_as_text(assembly.output.data() + last.offset, last.size) &&
                     next_reads_as_text(assembly, end))) {
    return true;
  }
  assembly.output.resize(last.offset);
  assembly.payloads.pop_back();
  return false;
}

// Writes the frames of the reading that ends at `end`, all but the last unless `whole`. With
// `text_only`, writing stops before a frame that does not read as text: without a quiet moment
// after it, its cut is a guess that nothing but text supports.
void write_reading(FrameAssembly& assembly, const Reading& reading, std::size_t end, bool whole,
                   bool text_only) {
  struct Frame {
    std::ptrdiff_t from;
    std::size_t end;
    bool tied;
  };
  std::vector<Frame> frames;  // last first
  for (std::size_t at = end; at != assembly.written_end;) {
    const Reach& reach = reading.at(at);
    frames.push_back(Frame{reach.from, at, reach.tied});
    if (reach.from == kGoesOn) break;
    at = static_cast<std::size_t>(reach.from);
  }
  if (!whole && !frames.empty()) frames.erase(frames.begin());
  if (frames.empty()) return;
  std::reverse(frames.begin(), frames.end());
  for (const Frame& frame : frames) {
    const bool padded = trailer_at(assembly, frame.end) > 1;
    const std::size_t start =
        frame.from == kGoesOn ? assembly.written_start : static_cast<std::size_t>(frame.from);
    const std::size_t from =
        frame.from == kGoesOn ? payload_end(assembly, assembly.written_end) : start;
    emit(assembly, start, from, frame.end, padded, frame.from == kGoesOn);
    if (!keep_emitted(assembly, text_only, frame.end)) break;
    if (frame.tied) assembly.tied += frame.end - assembly.written_end;
    assembly.written_start = start;
    assembly.written_end = frame.end;
  }
  forget_before(assembly, assembly.written_start);
}

// Bytes that no cut reaches past the last written frame, beyond the longest frame twice, are
// no frames: they are dropped, and reading starts afresh after them.
bool drop_unreadable(FrameAssembly& assembly, const Reading& reading) {
  if (reading.positions.size() > 1) return false;
  if (assembly.bytes.size() - assembly.written_end <= kMostUnread) return false;
  assembly.dropped += assembly.bytes.size() - assembly.written_end;
  assembly.forgotten += assembly.bytes.size();
  assembly.bytes.clear();
  for (std::vector<std::size_t>& ends : assembly.ends) ends.clear();
  for (std::vector<int>& sums : assembly.score_sums) sums.clear();
  assembly.ends_scanned = assembly.written_start = assembly.written_end = 0;
  return true;
}

// Writes the bytes held as the last written frame going on, or as one frame of their own, when
// either reads them whole. Returns whether it did.
bool write_as_one_frame(FrameAssembly& assembly) {
  const std::size_t end = assembly.bytes.size();
  const std::uint8_t* bytes = assembly.bytes.data();
  const std::size_t start = assembly.written_start;
  const bool padded = trailer_at(assembly, end) > 1;
  if (assembly.written_end > 0 && is_whole_frame(bytes + start, end - start, assembly.key)) {
    emit(assembly, start, payload_end(assembly, assembly.written_end), end, padded, true);
  } else if (is_whole_frame(bytes + assembly.written_end, end - assembly.written_end,
                            assembly.key)) {
    assembly.written_start = assembly.written_end;
    emit(assembly, assembly.written_start, assembly.written_start, end, padded, false);
  } else {
    return false;
  }
  assembly.written_end = end;
  forget_before(assembly, assembly.written_start);
  return true;
}

// Whether a reading of the bytes held, scoring `score`, reads like text: most of its bytes
// score as text does. Random bytes score below zero on average.
bool reads_like_text(const FrameAssembly& assembly, int score) {
  return score >= kLikeTextScore * static_cast<int>(unwritten_bytes(assembly));
}

// The cuts of the bytes held. The reading is the thread's one, made again by each call: a
// receive reads them at least once, and allocating for each reading costs more than reading.
const Reading& read(FrameAssembly& assembly) {
  thread_local Reading reading;
  find_ends(assembly);
  read_cuts(assembly, false, reading);
  if (is_single_reading(reading)) return reading;
  extend_scores(assembly);
  read_cuts(assembly, true, reading);
  return reading;
}

void start_call(FrameAssembly& assembly) {
  assembly.output.clear();
  assembly.payloads.clear();
  assembly.dropped = 0;
  assembly.tied = 0;
  assembly.held = 0;
}

// Where the last reading's frames may start, a few of the last, in stream bytes.
void note_starts(FrameAssembly& assembly, const Reading& reading) {
  constexpr std::size_t kNoted = 8;
  const std::size_t first = reading.positions.size() - std::min(reading.positions.size(), kNoted);
  assembly.starts.clear();
  for (std::size_t i = first; i < reading.positions.size(); ++i) {
    assembly.starts.push_back(assembly.forgotten + reading.positions[i]);
  }
}

// Whether a byte received at `end - 1` ends a whole frame that starts where a frame may start.
bool ends_a_noted_frame(const FrameAssembly& assembly, std::size_t end) {
  const auto whole_from = [&](std::size_t start) {
    return start < end && end - start >= kShortestFrame &&
           is_whole_frame(assembly.bytes.data() + start, end - start, assembly.key);
  };
  if (whole_from(assembly.written_end)) return true;
  if (assembly.written_end > 0 && whole_from(assembly.written_start)) return true;
  return std::any_of(assembly.starts.begin(), assembly.starts.end(), [&](std::size_t noted) {
    return noted >= assembly.forgotten + assembly.written_end &&
           whole_from(noted - assembly.forgotten);
  });
}

// Reading the bytes again costs as much as the bytes held, so it is done when something may
// have changed: a received byte of 1 to 4 ends a whole frame from where the last reading had
// frames start, or bytes that may end frames made the held bytes grow by half since the last
// reading. However TCP cuts the stream, each byte is then read a bounded number of times.
bool worth_reading(const FrameAssembly& assembly, std::size_t received) {
  const std::size_t size = assembly.bytes.size();
  const std::size_t held = unwritten_bytes(assembly);
  const std::size_t grown = held - std::min(held, assembly.held_at_reading);
  // A frame is 5 bytes at least: bytes that trickle in one by one are read a fifth as often.
  const bool may_end_a_frame = grown >= kShortestFrame;
  bool may_end = false;
  for (std::size_t at = size - received; at < size; ++at) {
    if (!is_trailer_value(assembly.bytes[at])) continue;
    if (may_end_a_frame && ends_a_noted_frame(assembly, at + 1)) return true;
    may_end = true;
  }
  return grown >= assembly.held_at_reading / 2 + 1 && (may_end || held > kMostUnread);
}

}  // namespace

std::ptrdiff_t payload_length(const std::uint8_t* block, std::size_t size) {
  if (size % 4 != 1) return -1;
  const std::uint8_t trailer = block[size - 1];
  if (trailer < 1 || trailer > 4 || trailer > size) return -1;
  return static_cast<std::ptrdiff_t>(size - trailer);
}

bool is_whole_frame(const std::uint8_t* block, std::size_t size, const Key& key) {
  const std::ptrdiff_t length = payload_length(block, size);
  if (length < 0) return false;
  for (std::size_t i = static_cast<std::size_t>(length); i + 1 < size; ++i) {
    if ((block[i] ^ key[i % 4]) != 0xFF) return false;
  }
  return true;
}

void add_receive(FrameAssembly& assembly, const std::uint8_t* data, std::size_t size) {
  start_call(assembly);
  assembly.bytes.insert(assembly.bytes.end(), data, data + size);
  if (!worth_reading(assembly, size)) return;
  const Reading& reading = read(assembly);
  note_starts(assembly, reading);
  if (!drop_unreadable(assembly, reading)) {
    const std::ptrdiff_t end = likeliest_end(assembly, reading);
    // Past twice the largest frame, the likeliest reading is written whatever its bytes.
    const bool text_only = unwritten_bytes(assembly) <= kMostUnread;
    if (end != kGoesOn) {
      write_reading(assembly, reading, static_cast<std::size_t>(end), false, text_only);
    }
  }
  assembly.held_at_reading = unwritten_bytes(assembly);
}

void take_quiet(FrameAssembly& assembly) {
  start_call(assembly);
  if (assembly.bytes.size() == assembly.written_end) return;
  const Reading& reading = read(assembly);
  note_starts(assembly, reading);
  // A quiet moment after bytes that end a whole frame: whatever they hold, they are written.
  // Where the likeliest reading reads like text, it is taken. Where it does not, its score
  // says nothing (false cuts of data that is not text leave no trace), and a frame followed
  // by a quiet moment is far likelier than frames run together: the bytes are one frame, or
  // the last written one going on, when they can be.
  const std::size_t end = assembly.bytes.size();
  if (!reading.reaches(end)) {
    // Nothing ends here: the bytes wait for more.
  } else if (!reading.scored || reads_like_text(assembly, reading.at(end).best) ||
             !write_as_one_frame(assembly)) {
    write_reading(assembly, reading, assembly.bytes.size(), true, false);
  }
  assembly.held = unwritten_bytes(assembly);
  assembly.held_at_reading = assembly.held;
}

std::size_t unwritten_bytes(const FrameAssembly& assembly) {
  return assembly.bytes.size() - assembly.written_end;
}

bool reads_as_text(const std::uint8_t* payload, std::size_t size) {
  bool has_c1 = false;
  bool valid_utf8 = true;
  for (std::size_t at = 0; at < size; ++at) {
    const std::uint8_t byte = payload[at];
    if (byte < 0x20 || byte == 0x7f) {
      if (byte != '\t' && byte != '\n' && byte != '\r' && byte != '\f' && byte != '\b' &&
          byte != 0x1b) {
        return false;
      }
    }
    if (byte < 0x80) continue;
    has_c1 = has_c1 || byte < 0xA0;
    // The daemon cuts frames anywhere, so a sequence may begin before the payload or end after
    // it.
    const bool cut_at_start =
        at < 3 && std::all_of(payload, payload + at + 1, is_utf8_continuation);
    valid_utf8 = valid_utf8 && (cut_at_start || in_utf8_sequence(payload, size, at));
  }
  return valid_utf8 || !has_c1;
}

}  // namespace vantrel::follow
