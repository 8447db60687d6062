#include "follow/length_reader.h"

#include <algorithm>
#include <string_view>

#include "codec/frame.h"
#include "codec/login.h"
#include "codec/whole.h"
#include "follow/frame_assembly.h"

namespace vantrel::follow {

namespace {

using codec::kGrantPrefix;
// The zero byte and the capability that end a login answer which grants lengths.
using codec::kLengthsSuffix;
// Answers are looked for this far back: the longest path a system names, and more.
constexpr std::size_t kLongestPath = 8192;

// Lets go of what was taken once it is most of the buffer, so that each byte is moved a
// bounded number of times however the receives cut the stream.
void compact(LengthReader& reader) {
  if (reader.taken < reader.bytes.size() / 2) return;
  reader.bytes.erase(reader.bytes.begin(),
                     reader.bytes.begin() + static_cast<std::ptrdiff_t>(reader.taken));
  reader.taken = 0;
}

bool is_notice_mark(const std::uint8_t* at) {
  return std::all_of(at, at + codec::kLengthPrefixBytes, [](std::uint8_t b) { return b == 0xFF; });
}

bool is_answer_mark(const std::uint8_t* at) {
  const std::uint32_t mark =
      std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 | at[3];
  return mark == codec::kAnswerMark;
}

// Unscrambles a frame of `length` bytes at `frame` into `out`, without its padding. False for
// one that cannot be a frame under the key.
bool unscramble(LengthReader& reader, const std::uint8_t* frame, std::size_t length,
                std::vector<std::uint8_t>& out) {
  if (!is_whole_frame(frame, length, reader.key)) return false;
  const std::size_t payload = static_cast<std::size_t>(payload_length(frame, length));
  const std::size_t offset = out.size();
  // Whole groups are unscrambled, then the padding is cut off again.
  out.insert(out.end(), frame, frame + length - 1);
  codec::scramble_groups(out.data() + offset, length - 1, reader.key);
  out.resize(offset + payload);
  return true;
}

bool take_answer(LengthReader& reader, const std::uint8_t* at, std::size_t left) {
  if (left < codec::kAnswerHead) return false;
  const std::size_t length = codec::read_length_prefix(at + codec::kLengthPrefixBytes);
  if (length == 0) {
    reader.malformed = true;
    return false;
  }
  if (left < codec::kAnswerHead + length) return false;
  std::vector<std::uint8_t> payload;
  if (!unscramble(reader, at + codec::kAnswerHead, length, payload)) {
    reader.malformed = true;
    return false;
  }
  reader.answers.push_back(std::move(payload));
  reader.taken += codec::kAnswerHead + length;
  return true;
}

bool take_notice(LengthReader& reader, const std::uint8_t* at, std::size_t left) {
  if (left < codec::kNoticeBytes) return false;
  const std::optional<codec::Notice> notice = codec::read_notice(at + codec::kLengthPrefixBytes);
  if (!notice) {
    reader.malformed = true;
    return false;
  }
  reader.notices.emplace_back(reader.output.size(), *notice);
  reader.taken += codec::kNoticeBytes;
  return true;
}

// Takes the frame at `taken` when all of it is there. Returns whether one was taken.
bool take_frame(LengthReader& reader) {
  const std::size_t left = reader.bytes.size() - reader.taken;
  if (left < codec::kLengthPrefixBytes) return false;
  const std::uint8_t* at = reader.bytes.data() + reader.taken;
  if (is_notice_mark(at)) return take_notice(reader, at, left);
  if (is_answer_mark(at)) return take_answer(reader, at, left);
  const std::size_t length = codec::read_length_prefix(at);
  if (length == 0) {
    reader.malformed = true;
    return false;
  }
  if (left < codec::kLengthPrefixBytes + length) return false;
  if (!unscramble(reader, at + codec::kLengthPrefixBytes, length, reader.output)) {
    reader.malformed = true;
    return false;
  }
  reader.taken += codec::kLengthPrefixBytes + length;
  return true;
}

}  // namespace

void add_length_receive(LengthReader& reader, const std::uint8_t* data, std::size_t size) {
  reader.output.clear();
  reader.notices.clear();
  reader.answers.clear();
  if (reader.malformed) return;
  reader.bytes.insert(reader.bytes.end(), data, data + size);
  while (take_frame(reader)) {
  }
  compact(reader);
}

std::optional<std::string> framed_answer_path(const std::vector<std::uint8_t>& bytes,
                                              std::size_t end, const Key& key, bool* whole) {
  if (end > bytes.size() || end < kGrantPrefix.size() + kLengthsSuffix.size() + 2) {
    return std::nullopt;
  }
  const std::size_t trailer = bytes[end - 1];
  if (trailer < 1 || trailer > 4) return std::nullopt;
  // A frame is 1 modulo 4 long, so the key's phase at any byte follows from where it ends.
  const auto decoded = [&](std::size_t at) {
    return static_cast<std::uint8_t>(bytes[at] ^ key[(at + 4 - (end - 1) % 4) % 4]);
  };
  const std::size_t payload_end = end - trailer;
  for (std::size_t at = payload_end; at + 1 < end; ++at) {
    if (decoded(at) != 0xFF) return std::nullopt;
  }
  const auto ends_with = [&](std::size_t at, std::string_view suffix) {
    if (at < suffix.size()) return false;
    for (std::size_t i = 0; i < suffix.size(); ++i) {
      if (decoded(at - suffix.size() + i) != static_cast<std::uint8_t>(suffix[i])) return false;
    }
    return true;
  };
  std::size_t suffix_end = payload_end;
  const bool grants_whole = ends_with(suffix_end, codec::kWholeSuffix);
  if (grants_whole) suffix_end -= codec::kWholeSuffix.size();
  if (!ends_with(suffix_end, kLengthsSuffix)) return std::nullopt;
  if (whole != nullptr) *whole = grants_whole;
  const std::size_t suffix_start = suffix_end - kLengthsSuffix.size();
  // "YIPI " where a frame that ends here starts, and a path between that holds no zero byte.
  std::size_t start = (end - 1) % 4;
  if (suffix_start > kLongestPath) start += (suffix_start - kLongestPath) / 4 * 4;
  for (; start + kGrantPrefix.size() <= suffix_start; start += 4) {
    bool answer = true;
    for (std::size_t i = 0; i < kGrantPrefix.size() && answer; ++i) {
      answer = decoded(start + i) == static_cast<std::uint8_t>(kGrantPrefix[i]);
    }
    std::string path;
    for (std::size_t at = start + kGrantPrefix.size(); at < suffix_start && answer; ++at) {
      path += static_cast<char>(decoded(at));
      answer = decoded(at) != 0;
    }
    if (answer) return path;
  }
  return std::nullopt;
}

bool ends_with_framed_answer(const std::vector<std::uint8_t>& bytes, const Key& key) {
  return framed_answer_path(bytes, bytes.size(), key).has_value();
}

std::optional<std::size_t> find_positions_grant(const std::vector<std::uint8_t>& bytes,
                                                std::size_t from, const Key& key, std::string& path,
                                                bool* whole) {
  for (std::size_t at = from; at + codec::kLengthPrefixBytes <= bytes.size(); ++at) {
    if (!is_notice_mark(bytes.data() + at)) continue;
    if (auto found = framed_answer_path(bytes, at, key, whole)) {
      path = std::move(*found);
      return at;
    }
  }
  return std::nullopt;
}

}  // namespace vantrel::follow
