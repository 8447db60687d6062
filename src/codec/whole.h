// The whole log, for viewers that ask for it at login: ranges of the file the daemon follows
// and searches of it, named by position, answered in band beside the live stream.
//
// A viewer asks with the word "whole" after its resume field ("\0whole"); the daemon grants
// it with the same zero byte and word after "framed" in its answer. From then on, the viewer
// sends each request as a frame behind its length, as the daemon sends its frames, with one of
// these texts (POS: a position token as 64 hexadecimal digits, whose check, where it has one,
// the daemon verifies; BOUND: an offset the answer does not cross, or "-"):
//
//   "LINES ID before|after POS COUNT BOUND"                 up to COUNT lines before or after
//   "FIND ID before|after POS BOUND MAX fixed|regex PATTERN" lines that match, newest first
//                                                           (before) or oldest first (after)
//   "STOP ID"                                               ends what runs
//   "STATS ID"                                              the daemon's counters
//
// A new request ends the one that runs, but for STATS, which is answered at once beside it. Answers
// stand where a frame's length would, behind a mark no length has, each a frame of its own:
//
//   [ 0xFFFFFFFE : 4 ][ frame length : 4 ][ frame ]
//
// and the frame's payload is [ kind : 1 ][ ID : 4 ] and the kind's fields, every number most
// significant byte first:
//
//   'B' bytes      [ offset : 8 ] bytes of the file from there
//   'M' match      [ offset : 8 ][ line length : 8 ] the line's first bytes; 'B's bring the rest
//   'E' range end  [ device : 8 ][ inode : 8 ][ first : 8 ][ end : 8 ][ edges : 1 ]
//   'P' progress   [ scanned : 8 ][ of : 8 ]
//   'D' done       [ why : 1 ][ matches : 8 ][ next : 8, all ones when none ][ device : 8 ]
//                  [ inode : 8 ]
//   'X' refused    [ why : 1 ] and a sentence
//   'C' counters   "name value" lines, each ended by a newline; readers skip names they do
//                  not know
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/key.h"
#include "codec/position.h"

namespace vantrel::codec {

// What asks for the whole log behind a resume field, and grants it behind "framed".
inline constexpr std::string_view kWholeSuffix{"\0whole", 6};

// The bounds a request lives within.
inline constexpr std::uint64_t kMostRangeBytes = std::uint64_t{1} << 20;
inline constexpr std::uint64_t kMostRangeLines = 1000000;
inline constexpr std::uint64_t kMostMatches = 100000;
inline constexpr std::size_t kMostPattern = 1024;
inline constexpr std::size_t kMostRequest = 256 + kMostPattern;

inline constexpr std::uint32_t kAnswerMark = 0xFFFFFFFE;
// The mark and the length before an answer's frame.
inline constexpr std::size_t kAnswerHead = 8;
inline constexpr std::uint64_t kNoNext = ~std::uint64_t{0};

struct WholeRequest {
  enum class Kind : std::uint8_t { kLines, kFind, kStop, kStats };
  Kind kind = Kind::kLines;
  std::uint32_t id = 0;
  bool before = true;  // newest first, below the position; else oldest first, from it
  Position at;
  std::optional<std::uint64_t> bound;
  std::uint64_t count = 0;  // lines, or the most matches
  bool regex = false;
  std::string pattern;
};

std::string request_text(const WholeRequest& request);
// No value for a text that is none of the forms, or outside the bounds.
std::optional<WholeRequest> parse_request(std::string_view text);
// A request as a viewer sends it: the frame of its text under `key`, behind the frame's length.
std::string request_frame(std::string_view text, const Key& key);

// The ID a text that is no request may still name, to answer it by: its second word, or 0.
std::uint32_t request_id_of(std::string_view text);

enum class AnswerKind : std::uint8_t {
  kBytes = 'B',
  kMatch = 'M',
  kRangeEnd = 'E',
  kProgress = 'P',
  kDone = 'D',
  kRefused = 'X',
  kCounters = 'C',
};

// Why a search ended.
enum class DoneWhy : std::uint8_t {
  kEdge = 1,   // it reached the start (newest first) or the end it was bound to
  kCap,        // it found the most matches asked for: `next` is where to go on
  kCancelled,  // the viewer asked for something else, or to stop
  kChanged,    // the file was rotated, cut back or rewritten under it
};

// Why a request was refused.
enum class RefusedWhy : std::uint8_t {
  kMalformed = 1,  // not a request, or outside the bounds
  kGone,           // the position is not in the file the daemon follows now, as it stands
  kBusy,           // as many searches run as the daemon allows
  kBadPattern,     // the regular expression does not compile
};

// Edges a range reached.
inline constexpr std::uint8_t kReachedStart = 1;  // the file's first byte
inline constexpr std::uint8_t kReachedEnd = 2;    // the bound, or what the daemon has sent live

struct Answer {
  AnswerKind kind = AnswerKind::kBytes;
  std::uint32_t id = 0;
  std::uint64_t offset = 0;      // B, M: where the bytes start; E: first; P: scanned
  std::uint64_t length = 0;      // M: the line's length; E: end; P: of; D: matches
  std::uint64_t next = kNoNext;  // D
  std::uint64_t device = 0;      // E, D
  std::uint64_t inode = 0;       // E, D
  std::uint8_t why = 0;          // E: edges; D: DoneWhy; X: RefusedWhy
  std::string_view bytes;        // B, M: file bytes; X: the sentence; C: the counters
};

// The bytes of an answer's payload before its `bytes`.
std::size_t answer_fields(AnswerKind kind);
// Writes the payload of `answer` but its bytes, answer_fields(kind) long, into `out`.
void write_answer_fields(std::uint8_t* out, const Answer& answer);
// Reads an answer's payload. No value for an unknown kind or one too short for its fields.
std::optional<Answer> read_answer(const std::uint8_t* payload, std::size_t size);

}  // namespace vantrel::codec
