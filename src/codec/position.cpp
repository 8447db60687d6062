#include "codec/position.h"

#include <charconv>

namespace vantrel::codec {

namespace {

constexpr std::uint64_t kCheckMask = (std::uint64_t{1} << 56) - 1;
constexpr std::string_view kNewField = "new";
constexpr std::string_view kLinesField = "lines ";
constexpr std::string_view kBytesField = "bytes ";
constexpr std::string_view kAtField = "at ";

void put(std::uint8_t* out, std::uint64_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) {
    out[i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
  }
}

std::uint64_t get(const std::uint8_t* in, std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes; ++i) value = value << 8 | in[i];
  return value;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::uint64_t check_of(const std::uint8_t* bytes, std::size_t length) {
  std::uint64_t digest = 0xcbf29ce484222325;
  for (std::size_t i = 0; i < length; ++i) {
    digest = (digest ^ bytes[i]) * 0x100000001b3;
  }
  return digest & kCheckMask;
}

void write_token(std::uint8_t* out, const Position& position) {
  put(out, position.device, 8);
  put(out + 8, position.inode, 8);
  put(out + 16, position.offset, 8);
  out[24] = position.check_length;
  put(out + 25, position.check & kCheckMask, 7);
}

std::optional<Position> read_token(const std::uint8_t* in) {
  Position position{get(in, 8), get(in + 8, 8), get(in + 16, 8), in[24], get(in + 25, 7)};
  if (position.check_length > kCheckBytes) return std::nullopt;
  return position;
}

void write_notice(std::uint8_t* out, const Notice& notice) {
  put(out, kNoticeMark, 4);
  out[4] = static_cast<std::uint8_t>(notice.kind);
  put(out + 5, notice.skipped, 8);
  write_token(out + 13, notice.position);
}

std::optional<Notice> read_notice(const std::uint8_t* in) {
  if (in[0] < static_cast<std::uint8_t>(NoticeKind::kStart) ||
      in[0] > static_cast<std::uint8_t>(NoticeKind::kUnreadable)) {
    return std::nullopt;
  }
  const std::optional<Position> position = read_token(in + 9);
  if (!position) return std::nullopt;
  return Notice{static_cast<NoticeKind>(in[0]), get(in + 1, 8), *position};
}

bool is_gap(const Notice& notice) {
  switch (notice.kind) {
    case NoticeKind::kStart:
    case NoticeKind::kResumed:
      return false;
    case NoticeKind::kRotated:
      return notice.skipped != 0;
    default:
      return true;
  }
}

std::string resume_field(const ResumeRequest& request) {
  switch (request.kind) {
    case ResumeRequest::Kind::kNew:
      break;
    case ResumeRequest::Kind::kLines:
      return std::string(kLinesField) + std::to_string(request.lines);
    case ResumeRequest::Kind::kBytes:
      return std::string(kBytesField) + std::to_string(request.lines);
    case ResumeRequest::Kind::kAt: {
      std::uint8_t token[kTokenBytes];
      write_token(token, request.at);
      std::string field(kAtField);
      for (const std::uint8_t byte : token) {
        field += "0123456789abcdef"[byte >> 4];
        field += "0123456789abcdef"[byte & 15];
      }
      return field;
    }
  }
  return std::string(kNewField);
}

std::optional<ResumeRequest> parse_resume_field(std::string_view field) {
  ResumeRequest request;
  if (field == kNewField) return request;
  const bool lines = field.starts_with(kLinesField);
  if (lines || field.starts_with(kBytesField)) {
    field.remove_prefix(lines ? kLinesField.size() : kBytesField.size());
    request.kind = lines ? ResumeRequest::Kind::kLines : ResumeRequest::Kind::kBytes;
    const auto [end, error] =
        std::from_chars(field.data(), field.data() + field.size(), request.lines);
    if (field.empty() || error != std::errc{} || end != field.data() + field.size()) {
      return std::nullopt;
    }
    return request;
  }
  if (!field.starts_with(kAtField) || field.size() != kAtField.size() + 2 * kTokenBytes) {
    return std::nullopt;
  }
  field.remove_prefix(kAtField.size());
  std::uint8_t token[kTokenBytes];
  for (std::size_t i = 0; i < kTokenBytes; ++i) {
    const int high = hex_digit(field[2 * i]);
    const int low = hex_digit(field[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    token[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  const std::optional<Position> at = read_token(token);
  if (!at) return std::nullopt;
  request.kind = ResumeRequest::Kind::kAt;
  request.at = *at;
  return request;
}

}  // namespace vantrel::codec
