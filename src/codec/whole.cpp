#include "codec/whole.h"

#include <algorithm>
#include <charconv>

#include "codec/big_endian.h"
#include "codec/frame.h"

namespace vantrel::codec {

namespace {

constexpr std::string_view kLinesWord = "LINES";
constexpr std::string_view kFindWord = "FIND";
constexpr std::string_view kStopWord = "STOP";
constexpr std::string_view kStatsWord = "STATS";

// Cuts the next word, up to a blank, off the front of `text`.
std::string_view next_word(std::string_view& text) {
  const std::size_t blank = text.find(' ');
  const std::string_view word = text.substr(0, blank);
  text = blank == std::string_view::npos ? std::string_view{} : text.substr(blank + 1);
  return word;
}

template <typename Number>
std::optional<Number> number_of(std::string_view word) {
  Number value{};
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), value);
  if (word.empty() || error != std::errc{} || end != word.data() + word.size()) {
    return std::nullopt;
  }
  return value;
}

std::optional<bool> direction_of(std::string_view word) {
  if (word == "before") return true;
  if (word == "after") return false;
  return std::nullopt;
}

// "-" or an offset; `ok` false for anything else.
std::optional<std::uint64_t> bound_of(std::string_view word, bool& ok) {
  if (word == "-") return std::nullopt;
  const auto bound = number_of<std::uint64_t>(word);
  ok = ok && bound.has_value();
  return bound;
}

std::string bound_text(const std::optional<std::uint64_t>& bound) {
  return bound ? std::to_string(*bound) : "-";
}

// Fields every request but STOP has after its word: ID, direction, position.
bool read_head(std::string_view& rest, WholeRequest& request) {
  const auto id = number_of<std::uint32_t>(next_word(rest));
  const auto before = direction_of(next_word(rest));
  const auto at = parse_token_hex(next_word(rest));
  if (!id || !before || !at) return false;
  request.id = *id;
  request.before = *before;
  request.at = *at;
  return true;
}

std::optional<WholeRequest> parse_lines(std::string_view rest) {
  WholeRequest request;
  request.kind = WholeRequest::Kind::kLines;
  if (!read_head(rest, request)) return std::nullopt;
  const auto count = number_of<std::uint64_t>(next_word(rest));
  bool ok = true;
  request.bound = bound_of(next_word(rest), ok);
  if (!ok || !count || *count == 0 || *count > kMostRangeLines || !rest.empty()) {
    return std::nullopt;
  }
  request.count = *count;
  return request;
}

std::optional<WholeRequest> parse_find(std::string_view rest) {
  WholeRequest request;
  request.kind = WholeRequest::Kind::kFind;
  if (!read_head(rest, request)) return std::nullopt;
  bool ok = true;
  request.bound = bound_of(next_word(rest), ok);
  const auto most = number_of<std::uint64_t>(next_word(rest));
  const std::string_view mode = next_word(rest);
  // The pattern is what is left, blanks included.
  if (!ok || !most || *most == 0 || *most > kMostMatches || (mode != "fixed" && mode != "regex") ||
      rest.size() > kMostPattern) {
    return std::nullopt;
  }
  request.count = *most;
  request.regex = mode == "regex";
  request.pattern = std::string(rest);
  return request;
}

}  // namespace

std::string request_text(const WholeRequest& request) {
  const std::string head = std::to_string(request.id) + (request.before ? " before " : " after ") +
                           token_hex(request.at) + " ";
  switch (request.kind) {
    case WholeRequest::Kind::kLines:
      return std::string(kLinesWord) + " " + head + std::to_string(request.count) + " " +
             bound_text(request.bound);
    case WholeRequest::Kind::kFind:
      return std::string(kFindWord) + " " + head + bound_text(request.bound) + " " +
             std::to_string(request.count) + (request.regex ? " regex " : " fixed ") +
             request.pattern;
    case WholeRequest::Kind::kStats:
      return std::string(kStatsWord) + " " + std::to_string(request.id);
    case WholeRequest::Kind::kStop:
      break;
  }
  return std::string(kStopWord) + " " + std::to_string(request.id);
}

std::optional<WholeRequest> parse_request(std::string_view text) {
  std::string_view rest = text;
  const std::string_view word = next_word(rest);
  if (word == kLinesWord) return parse_lines(rest);
  if (word == kStopWord || word == kStatsWord) {
    const auto id = number_of<std::uint32_t>(rest);
    if (!id) return std::nullopt;
    WholeRequest request;
    request.kind = word == kStopWord ? WholeRequest::Kind::kStop : WholeRequest::Kind::kStats;
    request.id = *id;
    return request;
  }
  if (word == kFindWord) return parse_find(rest);
  return std::nullopt;
}

std::string request_frame(std::string_view text, const Key& key) {
  std::string bytes(kLengthPrefixBytes + encoded_room(text.size()), '\0');
  auto* frame = reinterpret_cast<std::uint8_t*>(bytes.data()) + kLengthPrefixBytes;
  std::copy(text.begin(), text.end(), frame);
  const std::size_t length = encode_frame(frame, text.size(), key);
  write_length_prefix(reinterpret_cast<std::uint8_t*>(bytes.data()), length);
  bytes.resize(kLengthPrefixBytes + length);
  return bytes;
}

std::uint32_t request_id_of(std::string_view text) {
  next_word(text);
  return number_of<std::uint32_t>(next_word(text)).value_or(0);
}

std::size_t answer_fields(AnswerKind kind) {
  switch (kind) {
    case AnswerKind::kBytes:
      return 5 + 8;
    case AnswerKind::kMatch:
      return 5 + 16;
    case AnswerKind::kRangeEnd:
      return 5 + 33;
    case AnswerKind::kProgress:
      return 5 + 16;
    case AnswerKind::kDone:
      return 5 + 33;
    case AnswerKind::kRefused:
      return 5 + 1;
    case AnswerKind::kCounters:
      return 5;
  }
  return 0;
}

void write_answer_fields(std::uint8_t* out, const Answer& answer) {
  out[0] = static_cast<std::uint8_t>(answer.kind);
  put(out + 1, answer.id, 4);
  std::uint8_t* fields = out + 5;
  switch (answer.kind) {
    case AnswerKind::kMatch:
      put(fields + 8, answer.length, 8);
      [[fallthrough]];
    case AnswerKind::kBytes:
      put(fields, answer.offset, 8);
      return;
    case AnswerKind::kRangeEnd:
      put(fields, answer.device, 8);
      put(fields + 8, answer.inode, 8);
      put(fields + 16, answer.offset, 8);
      put(fields + 24, answer.length, 8);
      fields[32] = answer.why;
      return;
    case AnswerKind::kProgress:
      put(fields, answer.offset, 8);
      put(fields + 8, answer.length, 8);
      return;
    case AnswerKind::kDone:
      fields[0] = answer.why;
      put(fields + 1, answer.length, 8);
      put(fields + 9, answer.next, 8);
      put(fields + 17, answer.device, 8);
      put(fields + 25, answer.inode, 8);
      return;
    case AnswerKind::kRefused:
      fields[0] = answer.why;
      return;
    case AnswerKind::kCounters:
      return;
  }
}

std::optional<Answer> read_answer(const std::uint8_t* payload, std::size_t size) {
  if (size < 5) return std::nullopt;
  Answer answer;
  answer.kind = static_cast<AnswerKind>(payload[0]);
  const std::size_t head = answer_fields(answer.kind);
  if (head == 0 || size < head) return std::nullopt;
  answer.id = static_cast<std::uint32_t>(get(payload + 1, 4));
  const std::uint8_t* fields = payload + 5;
  answer.bytes = std::string_view(reinterpret_cast<const char*>(payload) + head, size - head);
  switch (answer.kind) {
    case AnswerKind::kMatch:
      answer.length = get(fields + 8, 8);
      [[fallthrough]];
    case AnswerKind::kBytes:
      answer.offset = get(fields, 8);
      break;
    case AnswerKind::kRangeEnd:
      answer.device = get(fields, 8);
      answer.inode = get(fields + 8, 8);
      answer.offset = get(fields + 16, 8);
      answer.length = get(fields + 24, 8);
      answer.why = fields[32];
      break;
    case AnswerKind::kProgress:
      answer.offset = get(fields, 8);
      answer.length = get(fields + 8, 8);
      break;
    case AnswerKind::kDone:
      answer.why = fields[0];
      answer.length = get(fields + 1, 8);
      answer.next = get(fields + 9, 8);
      answer.device = get(fields + 17, 8);
      answer.inode = get(fields + 25, 8);
      break;
    case AnswerKind::kRefused:
      answer.why = fields[0];
      break;
    case AnswerKind::kCounters:
      break;
  }
  return answer;
}

}  // namespace vantrel::codec
