// What a viewer granted the whole log reads of it before the live stream: the last lines (-n),
// the lines from one on (-n +K), or every line that matches (--grep), asked for by position
// and answered in band. The live stream is held meanwhile and written after, so that nothing
// comes twice or out of order.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "codec/position.h"
#include "codec/whole.h"
#include "search/matcher.h"

namespace vantrel::follow {

struct CatchUp {
  enum class Goal : std::uint8_t { kNone, kLastLines, kFromLine, kMatches };
  Goal goal = Goal::kNone;
  std::uint64_t lines = 0;  // the last lines wanted, or the line to start from (1: the first)
  std::string pattern;      // --grep
  bool regex = false;
  search::Matcher matcher;  // the same, for the live stream's lines
  bool then_follow = true;  // after the matches, the live stream's matching lines
  // Where the live stream starts, as its first notice says: the catch-up ends there.
  codec::Position live_start;
  std::uint32_t id = 0;  // of the request in progress
  bool running = false;
  bool done = false;
  std::vector<std::string> pages;  // the last lines: the newest page first
  std::uint64_t have = 0;          // lines had, lines passed over, or matches written
  std::string line;                // a match whose bytes have not all come yet
  std::uint64_t line_length = 0;
  bool trouble = false;  // a request was refused, or the file changed under it
};

// A position with no check: what any byte of the file may be asked for by.
codec::Position unchecked(const codec::Position& in_file, std::uint64_t offset);

// The next request of a catch-up that has begun, or that has just been answered by `answer`.
codec::WholeRequest first_request(CatchUp& catch_up);

// What an answer means to the catch-up: bytes to write now, and whether to ask on.
struct CatchUpStep {
  std::string write;                        // history to write, oldest first
  std::optional<codec::WholeRequest> next;  // the request to send next
  std::optional<std::string> problem;       // to say on standard error
  bool finished = false;                    // the live stream may go on now
};
CatchUpStep take_catch_up_answer(CatchUp& catch_up, const codec::Answer& answer);

}  // namespace vantrel::follow
