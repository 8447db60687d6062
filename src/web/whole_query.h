// The page's interface to the whole log, for scripts and for its own scrolling and search:
//
//   GET lines?before=POS&count=N      the N lines before POS, oldest first
//   GET lines?after=POS&count=N       the N lines from POS on
//   GET search?q=PATTERN&before=POS&max=N    (or after=POS; neither: newest first from the end)
//   GET download?from=POS&to=POS      the file's bytes, exactly (both optional)
//
// with &source=NAME where the page follows several daemons. POS is "DEVICE:INODE:OFFSET", as
// the events name their lines. Lines and matches come as application/x-ndjson, one object per
// line: {"pos": POS of its first byte, "data": base64 of its bytes}, then {"start": true} or
// {"end": true} where the file's first byte or the live end was reached; a search says
// {"scanned": BYTES, "of": BYTES} from time to time and ends {"done": true, "matches": M,
// "next": POS}, with no "next" when nothing is left. PATTERN is the page's filter's: a fixed
// string (smart case), or /REGEX/. Internal to src/web.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/whole.h"

namespace vantrel::web {

// Lines one request returns at most, and matches.
inline constexpr std::uint64_t kMostPageLines = 10000;
inline constexpr std::uint64_t kMostPageMatches = 10000;

struct WholeQuery {
  enum class Kind : std::uint8_t { kLines, kSearch, kDownload };
  Kind kind = Kind::kLines;
  std::string source;  // empty: the first
  bool before = true;
  std::optional<codec::Position> at;  // lines, search: no value, the live end
  std::optional<codec::Position> to;  // download: no value, the live end
  std::uint64_t count = 1000;         // lines, or the most matches
  std::string pattern;
  bool regex = false;
};

// The query of `path` ("lines", "search" or "download") and `text` (what follows the '?').
// No value after writing into `problem` what is wrong with it.
std::optional<WholeQuery> parse_whole_query(std::string_view path, std::string_view text,
                                            std::string& problem);

// The daemon's request for a query, given where its live stream ends now.
codec::WholeRequest request_for(const WholeQuery& query, const codec::Position& live_end,
                                std::uint32_t id);

// "DEVICE:INODE:OFFSET".
std::string position_text(std::uint64_t device, std::uint64_t inode, std::uint64_t offset);

// {"pos": ..., "data": ...} and a newline, for the line of `bytes` at `offset`.
std::string line_object(std::uint64_t device, std::uint64_t inode, std::uint64_t offset,
                        std::string_view bytes);

// Splits the bytes of a range into lines, each line's object in `out`; a line cut by the end of
// `bytes` waits in `partial` (from `partial_offset` on) for the rest.
void add_line_objects(std::string& out, std::uint64_t device, std::uint64_t inode,
                      const codec::Answer& bytes, std::string& partial,
                      std::uint64_t& partial_offset);

}  // namespace vantrel::web
