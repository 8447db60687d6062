#include "codec/position.h"

#include <charconv>

#include "codec/big_endian.h"

namespace vantrel::codec {

namespace {

constexpr std::uint64_t kCheckMask = (std::uint64_t{1} << 56) - 1;
constexpr std::string_view kNewField = "new";
constexpr std::string_view kLinesField = "lines ";
constexpr std::string_view kBytesField = "bytes ";
constexpr std::string_view kAtField = "at ";

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

std::string token_hex(const Position& position) {
  std::uint8_t token[kTokenBytes];
  write_token(token, position);
  std::string hex;
  for (const std::uint8_t byte : token) {
    hex += "0123456789abcdef"[byte >> 4];
    hex += "0123456789abcdef"[byte & 15];
  }
  return hex;
}

std::optional<Position> parse_token_hex(std::string_view hex) {
  if (hex.size() != 2 * kTokenBytes) return std::nullopt;
  std::uint8_t token[kTokenBytes];
  for (std::size_t i = 0; i < kTokenBytes; ++i) {
    const int high = hex_digit(hex[2 * i]);
    const int low = hex_digit(hex[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    token[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return read_token(token);
}

std::string resume_field(const ResumeRequest& request) {
  switch (request.kind) {
    case ResumeRequest::Kind::kNew:
      break;
    case ResumeRequest::Kind::kLines:
      return std::string(kLinesField) + std::to_string(request.lines);
    case ResumeRequest::Kind::kBytes:
      return std::string(kBytesField) + std::to_string(request.lines);
    case ResumeRequest::Kind::kAt:
      return std::string(kAtField) + token_hex(request.at);
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
  if (!field.starts_with(kAtField)) return std::nullopt;
  const std::optional<Position> at = parse_token_hex(field.substr(kAtField.size()));
  if (!at) return std::nullopt;
  request.kind = ResumeRequest::Kind::kAt;
  request.at = *at;
  return request;
}

}  // namespace vantrel::codec
