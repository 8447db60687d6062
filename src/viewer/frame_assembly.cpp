#include <algorithm>
#include <cstring>

#include "codec/frame.h"
#include "viewer/viewer.h"

namespace vantrel::viewer {

namespace {

// The daemon frames only growth and replies, never an empty payload: a lone trailer byte is
// taken for a coincidence.
constexpr std::size_t kShortestFrame = 5;
constexpr std::size_t kLongestFrame = codec::kMaxPayload + 1;
// Bytes past the last written frame that no cut reaches, beyond this, are no frames at all.
constexpr std::size_t kMostUnread = 2 * kMaxBlock;
constexpr int kTextScore = 3;      // printable ASCII, the whitespace and escape logs hold, UTF-8
constexpr int kHighScore = 1;      // a byte of 0x80 or above outside UTF-8: an 8-bit encoding
constexpr int kControlScore = -6;  // trailer values, zero bytes and other controls
// Writers append whole lines, so a payload that ends a line is likelier than one that does
// not: this tells frames run together from one frame that holds the trailer's character where
// the key has no phase to tell them apart (a key whose bytes repeat).
constexpr int kLineEndScore = 4;
// What a reading must score per byte on average to read like text.
constexpr int kLikeTextScore = 2;
// A trailer of 2 to 4 whose padding unscrambles to 0xFF ends a frame, whatever frame it lies
// in: random bytes pass that check once in 256 times or less. A reading that takes it for
// payload is all but surely false.
constexpr int kPaddedTrailerScore = -48;

// Past this many cuts examined in one call, the rest of the call expands only starts whose
// first bytes read as text: a false start decodes with the key shifted, to controls that text
// does not hold, and where everything is such, the data takes trailer values everywhere and
// is no text at all.
constexpr std::size_t kCutBudget = std::size_t{1} << 24;
// Past this many, a crafted block cannot hold the viewer up: each start looks at its nearest
// ends only.
constexpr std::size_t kHardCutBudget = std::size_t{1} << 26;
constexpr std::size_t kNearestCuts = 16;
constexpr std::size_t kLookAhead = 64;                             // bytes read from a start
constexpr int kLeastLookAheadScore = kTextScore * kLookAhead / 2;  // a few controls at most

bool is_trailer_value(std::uint8_t byte) { return static_cast<std::uint8_t>(byte - 1) < 4; }

bool is_utf8_continuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

std::size_t utf8_sequence_length(std::uint8_t lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Whether byte `at` of `text` belongs to a valid UTF-8 sequence; a sequence cut short by the
// end of the text counts as valid.
bool in_utf8_sequence(const std::uint8_t* text, std::size_t size, std::size_t at) {
  for (std::size_t back = 0; back < 4 && back <= at; ++back) {
    const std::size_t lead = at - back;
    const std::size_t length = utf8_sequence_length(text[lead]);
    if (length == 0) {
      if (is_utf8_continuation(text[lead])) continue;  // its lead lies further back
      return false;
    }
    if (length <= back) return false;  // that sequence ends before `at`
    for (std::size_t i = 1; i < length && lead + i < size; ++i) {
      if (!is_utf8_continuation(text[lead + i])) return false;
    }
    return true;
  }
  return false;
}

// Padding unscrambles to 0xFF, which neither UTF-8 nor a log in an 8-bit encoding holds.
int text_score(std::uint8_t byte) {
  if (byte >= 0x20 && byte < 0x7f) return kTextScore;
  if (byte == '\t' || byte == '\n' || byte == '\r' || byte == 0x1b) return kTextScore;
  return byte >= 0x80 && byte != 0xFF ? kHighScore : kControlScore;
}

std::size_t trailer_at(const FrameAssembly& assembly, std::size_t end) {
  return assembly.bytes[end - 1];
}

// Where the payload of the frame that ends at `end` ends.
std::size_t payload_end(const FrameAssembly& assembly, std::size_t end) {
  return end - trailer_at(assembly, end);
}

// ---- Where frames may end, and how bytes score ----

void find_ends(FrameAssembly& assembly) {
  const std::vector<std::uint8_t>& bytes = assembly.bytes;
  constexpr std::size_t kBlock = 64;
  std::size_t i = assembly.ends_scanned;
  auto take = [&](std::size_t at) {
    if (is_trailer_value(bytes[at])) assembly.ends[(at + 1) % 4].push_back(at + 1);
  };
  for (; i + kBlock <= bytes.size(); i += kBlock) {
    // Most blocks of text hold no trailer value: one quick test passes them by.
    std::uint8_t hits = 0;
    for (std::size_t j = 0; j < kBlock; ++j) {
      hits |= static_cast<std::uint8_t>(static_cast<std::uint8_t>(bytes[i + j] - 1) < 4);
    }
    if (hits == 0) continue;
    for (std::size_t j = i; j < i + kBlock; ++j) take(j);
  }
  for (; i < bytes.size(); ++i) take(i);
  assembly.ends_scanned = bytes.size();
}

// Whether bytes[at] is a trailer of 2 to 4 whose padding unscrambles to 0xFF. A frame that ends
// after it starts at a position of at modulo 4, which fixes the key's phase.
bool is_padded_trailer(const FrameAssembly& assembly, std::size_t at) {
  const std::uint8_t trailer = assembly.bytes[at];
  if (trailer < 2 || trailer > 4 || at + 1 < trailer) return false;
  for (std::size_t j = at + 1 - trailer; j < at; ++j) {
    if ((assembly.bytes[j] ^ assembly.key[(j + 4 - at % 4) % 4]) != 0xFF) return false;
  }
  return true;
}

// Row r of the sums reads byte i as it decodes in a frame that starts at a position r modulo
// 4; the bytes' start is a group boundary. A byte's score may depend on the three after it
// (UTF-8), so the last three are scored again when more bytes come.
void extend_scores(FrameAssembly& assembly) {
  const std::size_t size = assembly.bytes.size();
  std::uint8_t window[8];
  for (std::size_t r = 0; r < 4; ++r) {
    std::vector<int>& sums = assembly.score_sums[r];
    if (sums.empty()) sums.push_back(0);
    const std::size_t from = sums.size() > 4 ? sums.size() - 4 : 0;
    sums.resize(from + 1);
    for (std::size_t i = from; i < size; ++i) {
      const auto decoded = [&](std::size_t at) {
        return static_cast<std::uint8_t>(assembly.bytes[at] ^ assembly.key[(at + 4 - r) % 4]);
      };
      int score = text_score(decoded(i));
      if (decoded(i) >= 0x80) {
        const std::size_t first = i >= 3 ? i - 3 : 0;
        const std::size_t last = std::min(size, i + 4);
        for (std::size_t at = first; at < last; ++at) window[at - first] = decoded(at);
        if (in_utf8_sequence(window, last - first, i - first)) score = kTextScore;
      }
      if (is_padded_trailer(assembly, i)) score = kPaddedTrailerScore;
      sums.push_back(sums.back() + score);
    }
  }
}

// The score of bytes [from, to) as payload of a frame that starts at `start`.
int score_of(const FrameAssembly& assembly, std::size_t start, std::size_t from, std::size_t to) {
  const std::vector<int>& sums = assembly.score_sums[start % 4];
  return sums[to] - sums[from];
}

// ---- Readings ----

// Where a reading's last frame starts: a position, or the last written frame going on.
constexpr std::ptrdiff_t kGoesOn = -1;

struct Reach {
  int best = 0;                   // score of the likeliest reading up to here
  std::ptrdiff_t from = kGoesOn;  // where that reading's last frame starts
  int ways = 0;                   // readings that end here, counted up to 2
  bool tied = false;              // another reading scored the same
};

struct Reading {
  std::size_t origin = 0;              // written_end
  std::vector<Reach> reach;            // by position from the origin on; ways 0: not reached
  std::vector<std::size_t> positions;  // reached, ascending
  Reach& at(std::size_t position) { return reach[position - origin]; }
  const Reach& at(std::size_t position) const { return reach[position - origin]; }
  bool reaches(std::size_t position) const { return at(position).ways > 0; }
  bool scored = false;
};

// Between readings that score the same, the one with the later cut wins: such a tie is a
// frame whose trailer reads as a character run together with the next under a phase that no
// text tells apart, and frames run together are far likelier than that character.
void offer(Reading& reading, std::size_t end, std::ptrdiff_t from, int score) {
  Reach& at = reading.at(end);
  if (at.ways > 0 && score == at.best && from != at.from) at.tied = true;
  if (at.ways == 0 || score > at.best || (score == at.best && from > at.from)) {
    if (score > at.best) at.tied = false;
    at.best = score;
    at.from = from;
  }
  at.ways = std::min(at.ways + 1, 2);
}

// Calls take(end) for every end of a whole frame that starts at `start`, past `after`.
struct CutBudget {
  std::size_t examined = 0;
  bool soft_spent() const { return examined >= kCutBudget; }
  bool hard_spent() const { return examined >= kHardCutBudget; }
};

template <typename Take>
void each_frame(const FrameAssembly& assembly, std::size_t start, std::size_t after,
                CutBudget& budget, Take take) {
  const std::vector<std::size_t>& ends = assembly.ends[(start + 1) % 4];
  auto it = std::upper_bound(ends.begin(), ends.end(), std::max(after, start + kShortestFrame - 1));
  for (std::size_t seen = 0; it != ends.end() && *it - start <= kLongestFrame; ++it, ++seen) {
    if (budget.hard_spent() && seen >= kNearestCuts) break;
    ++budget.examined;
    if (is_whole_frame(assembly.bytes.data() + start, *it - start, assembly.key)) take(*it);
  }
}

// Whether the bytes after a start read as text, as far as its first possible frame end.
bool starts_text(const FrameAssembly& assembly, std::size_t start) {
  const std::vector<std::size_t>& ends = assembly.ends[(start + 1) % 4];
  auto first = std::upper_bound(ends.begin(), ends.end(), start + kShortestFrame - 1);
  std::size_t until = std::min(assembly.bytes.size(), start + kLookAhead);
  if (first != ends.end()) until = std::min(until, payload_end(assembly, *first));
  if (until <= start) return true;
  const int least =
      kLeastLookAheadScore * static_cast<int>(until - start) / static_cast<int>(kLookAhead);
  return score_of(assembly, start, start, until) >= least;
}

// Every cut of the bytes after the last written frame into whole frames, and every way that
// frame may go on past its cut. Unscored, every reading scores 0: enough to count them.
// Fills `reading` afresh, keeping the room its vectors already have.
void read_cuts(const FrameAssembly& assembly, bool scored, Reading& reading) {
  reading.scored = scored;
  const std::size_t origin = assembly.written_end;
  CutBudget budget;
  reading.origin = origin;
  reading.positions.clear();
  reading.reach.assign(assembly.bytes.size() + 1 - origin, Reach{});
  auto score = [&](std::size_t start, std::size_t from, std::size_t end) {
    if (!scored) return 0;
    const std::size_t last = payload_end(assembly, end);
    const bool ends_line =
        last > from && (assembly.bytes[last - 1] ^ assembly.key[(last - 1 - start) % 4]) == '\n';
    return score_of(assembly, start, from, last) + (ends_line ? kLineEndScore : 0);
  };
  auto reached = [&](std::size_t end, std::ptrdiff_t from, int value) {
    offer(reading, end, from, value);
  };
  if (origin > 0) {
    const std::size_t cut = payload_end(assembly, origin);
    each_frame(assembly, assembly.written_start, origin, budget, [&](std::size_t end) {
      reached(end, kGoesOn, score(assembly.written_start, cut, end));
    });
  }
  reading.at(origin) = Reach{0, static_cast<std::ptrdiff_t>(origin), 1, false};
  // Frames only go forward: every position is final once the scan reaches it.
  for (std::size_t start = origin; start <= assembly.bytes.size(); ++start) {
    if (!reading.reaches(start)) continue;
    reading.positions.push_back(start);
    const int before = reading.at(start).best;
    if (budget.soft_spent() && scored && start != origin && !starts_text(assembly, start)) continue;
    each_frame(assembly, start, start, budget, [&](std::size_t end) {
      reached(end, static_cast<std::ptrdiff_t>(start), before + score(start, start, end));
    });
  }
}

// Whether the cuts leave one reading: each position reached once, from the one before it.
bool is_single_reading(const Reading& reading) {
  for (std::size_t i = 1; i < reading.positions.size(); ++i) {
    const Reach& at = reading.at(reading.positions[i]);
    if (at.ways > 1 || at.from != static_cast<std::ptrdiff_t>(reading.positions[i - 1])) {
      return false;
    }
  }
  return true;
}

// The position whose reading, with the bytes after it taken as the start of one more frame,
// scores highest: after a false cut those bytes decode as garbage, so the true cut wins. The
// last written frame going on past the end of the bytes competes too (kGoesOn). Returns a
// position, or kGoesOn.
std::ptrdiff_t likeliest_end(const FrameAssembly& assembly, const Reading& reading) {
  const std::size_t size = assembly.bytes.size();
  if (!reading.scored) return static_cast<std::ptrdiff_t>(reading.positions.back());
  std::ptrdiff_t chosen = kGoesOn;
  int chosen_score = 0;
  bool first = true;
  if (assembly.written_end > 0) {
    chosen_score = score_of(assembly, assembly.written_start,
                            payload_end(assembly, assembly.written_end), size);
    first = false;
  }
  for (const std::size_t at : reading.positions) {
    const int score = reading.at(at).best + score_of(assembly, at, at, size);
    if (first || score >= chosen_score) {
      chosen = static_cast<std::ptrdiff_t>(at);
      chosen_score = score;
      first = false;
    }
  }
  return chosen;
}

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

}  // namespace vantrel::viewer
