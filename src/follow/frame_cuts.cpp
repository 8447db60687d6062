// The cuts of a stream into whole frames, and how each reading of it scores as text.
#include "follow/frame_cuts.h"

#include <algorithm>

#include "codec/frame.h"

namespace vantrel::follow::cuts {

namespace {

constexpr std::size_t kLongestFrame = codec::kMaxPayload + 1;

constexpr int kTextScore = 3;      // printable ASCII, the whitespace and escape logs hold, UTF-8
constexpr int kHighScore = 1;      // a byte of 0x80 or above outside UTF-8: an 8-bit encoding
constexpr int kControlScore = -6;  // trailer values, zero bytes and other controls
// Writers append whole lines, so a payload that ends a line is likelier than one that does
// not: this tells frames run together from one frame that holds the trailer's character where
// the key has no phase to tell them apart (a key whose bytes repeat).
constexpr int kLineEndScore = 4;

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
constexpr int kLeastLookAheadScore = kTextScore * kLookAhead / 2;  // a few controls at most

std::size_t utf8_sequence_length(std::uint8_t lead) {
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

// Padding unscrambles to 0xFF, which neither UTF-8 nor a log in an 8-bit encoding holds.
int text_score(std::uint8_t byte) {
  if (byte >= 0x20 && byte < 0x7f) return kTextScore;
  if (byte == '\t' || byte == '\n' || byte == '\r' || byte == 0x1b) return kTextScore;
  return byte >= 0x80 && byte != 0xFF ? kHighScore : kControlScore;
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

// The score of bytes [from, to) as payload of a frame that starts at `start`.
int score_of(const FrameAssembly& assembly, std::size_t start, std::size_t from, std::size_t to) {
  const std::vector<int>& sums = assembly.score_sums[start % 4];
  return sums[to] - sums[from];
}

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

}  // namespace

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

bool is_single_reading(const Reading& reading) {
  for (std::size_t i = 1; i < reading.positions.size(); ++i) {
    const Reach& at = reading.at(reading.positions[i]);
    if (at.ways > 1 || at.from != static_cast<std::ptrdiff_t>(reading.positions[i - 1])) {
      return false;
    }
  }
  return true;
}

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

}  // namespace vantrel::follow::cuts
