// Which lines of a log match what a reader looks for: a fixed string, case-insensitive unless
// it holds an upper-case letter, or a regular expression, run by RE2 (linear in the text, in
// bounded memory, never backtracking). A match never spans lines: the daemon's search over the
// whole file and the viewer's filter of the live stream agree line by line.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace re2 {
class RE2;
}

namespace vantrel::search {

struct Matcher {
  std::string fixed;                      // a fixed string matched byte for byte
  std::shared_ptr<const re2::RE2> regex;  // or, where set, this
};

// No value after writing into `error` why the pattern cannot be one.
std::optional<Matcher> make_matcher(std::string_view pattern, bool regex, std::string& error);

// Whether a fixed pattern is matched without regard to case: it holds no upper-case letter.
bool ignores_case(std::string_view pattern);

struct LineSpan {
  std::size_t start = 0;
  std::size_t end = 0;  // past its newline, or the end of the text searched
};

// The first line at or after `from`, a line start, and before `to` in `text` that holds a
// match, if one does.
std::optional<LineSpan> next_matching_line(const Matcher& matcher, std::string_view text,
                                           std::size_t from, std::size_t to);

}  // namespace vantrel::search
