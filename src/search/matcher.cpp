#include "search/matcher.h"

#include <re2/re2.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace vantrel::search {

namespace {

// A pattern's automata may use this much memory; one that needs more fails to compile.
constexpr std::int64_t kMostRegexMemory = std::int64_t{1} << 21;

std::shared_ptr<const re2::RE2> compile(std::string_view pattern, bool literal, bool fold,
                                        std::string& error) {
  RE2::Options options;
  options.set_log_errors(false);
  options.set_max_mem(kMostRegexMemory);
  // A class such as [^a] or \s never takes a newline: a match stays on its line.
  options.set_never_nl(true);
  options.set_literal(literal);
  options.set_case_sensitive(!fold);
  // ^ and $ stand at each line's start and end.
  const std::string text = literal ? std::string(pattern) : "(?m)" + std::string(pattern);
  auto regex = std::make_shared<const re2::RE2>(text, options);
  if (!regex->ok()) {
    // The error quotes the pattern as compiled: it is said as the reader wrote it.
    error = regex->error();
    const std::size_t added = error.find(": (?m)");
    if (!literal && added != std::string::npos) error.erase(added + 2, 4);
    return nullptr;
  }
  return regex;
}

std::size_t index_of(const void* at, std::string_view text) {
  return static_cast<std::size_t>(static_cast<const char*>(at) - text.data());
}

// Where the match at or after `from` and before `to` begins.
std::optional<std::size_t> next_match(const Matcher& matcher, std::string_view text,
                                      std::size_t from, std::size_t to) {
  if (!matcher.regex) {
    const void* hit =
        memmem(text.data() + from, to - from, matcher.fixed.data(), matcher.fixed.size());
    if (hit == nullptr) return std::nullopt;
    return index_of(hit, text);
  }
  re2::StringPiece match;
  const re2::StringPiece whole(text.data(), to);
  if (!matcher.regex->Match(whole, from, to, RE2::UNANCHORED, &match, 1)) return std::nullopt;
  return index_of(match.data(), text);
}

}  // namespace

bool ignores_case(std::string_view pattern) {
  return std::none_of(pattern.begin(), pattern.end(),
                      [](char c) { return std::isupper(static_cast<unsigned char>(c)) != 0; });
}

std::optional<Matcher> make_matcher(std::string_view pattern, bool regex, std::string& error) {
  Matcher matcher;
  const bool fold = !regex && ignores_case(pattern);
  // A fixed string with no letter to fold is found fastest as bytes.
  const bool has_letter = std::any_of(pattern.begin(), pattern.end(), [](char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0;
  });
  if (!regex && (!fold || !has_letter)) {
    matcher.fixed = std::string(pattern);
    return matcher;
  }
  matcher.regex = compile(pattern, !regex, fold, error);
  if (matcher.regex) return matcher;
  if (regex) return std::nullopt;
  // A fixed string that is not UTF-8 has no letters to fold: it is found as bytes.
  matcher.fixed = std::string(pattern);
  return matcher;
}

std::optional<LineSpan> next_matching_line(const Matcher& matcher, std::string_view text,
                                           std::size_t from, std::size_t to) {
  if (from >= to) return std::nullopt;
  const std::optional<std::size_t> hit = next_match(matcher, text, from, to);
  if (!hit) return std::nullopt;
  // An empty match at the very end belongs to the last line unless a newline ended that line:
  // then it stands after every line.
  if (*hit == to && text[to - 1] == '\n') return std::nullopt;
  const std::size_t at = std::min(*hit, to - 1);
  const void* before = memrchr(text.data() + from, '\n', at - from);
  const std::size_t start = before == nullptr ? from : index_of(before, text) + 1;
  const void* after = std::memchr(text.data() + at, '\n', to - at);
  const std::size_t end = after == nullptr ? to : index_of(after, text) + 1;
  return LineSpan{start, end};
}

}  // namespace vantrel::search
