#include "codec/login.h"

#include <algorithm>
#include <cstring>

namespace vantrel::codec {

std::string login_text(std::string_view password) {
  return std::string(kLoginWord) + " " + std::string(password);
}

std::string login_request(std::string_view password, const std::optional<ResumeRequest>& resume,
                          bool whole) {
  std::string login = login_text(password) + std::string(kLengthsSuffix);
  if (resume) login += '\0' + resume_field(*resume);
  if (resume && whole) login += kWholeSuffix;
  return login;
}

std::optional<std::string_view> granted_path(std::string_view payload) {
  if (!payload.starts_with(kGrantPrefix)) return std::nullopt;
  const std::string_view path = payload.substr(kGrantPrefix.size());
  if (path.empty() || path.find_first_of(std::string_view("\n\0", 2)) != std::string_view::npos) {
    return std::nullopt;
  }
  return path;
}

bool grants_whole(std::string_view payload) {
  return payload.ends_with(std::string(kLengthsSuffix) + std::string(kWholeSuffix));
}

std::optional<std::string_view> lengths_granted_path(std::string_view payload) {
  if (grants_whole(payload)) payload.remove_suffix(kWholeSuffix.size());
  if (!payload.ends_with(kLengthsSuffix)) return std::nullopt;
  return granted_path(payload.substr(0, payload.size() - kLengthsSuffix.size()));
}

bool is_login(const std::uint8_t* text) {
  return std::memcmp(text, kLoginWord.data(), kLoginWord.size()) == 0;
}

std::string_view password_field(const std::uint8_t* text, std::size_t text_end) {
  if (text_end <= kPasswordStart) return {};
  return std::string_view(reinterpret_cast<const char*>(text) + kPasswordStart);
}

LoginAsks read_login_asks(const std::uint8_t* text, std::size_t text_end) {
  const std::string_view whole(reinterpret_cast<const char*>(text), text_end);
  const std::size_t zero = whole.find('\0', kPasswordStart);
  if (zero == std::string_view::npos) return {};
  const std::string_view asked = whole.substr(zero);
  if (asked == kLengthsSuffix) return {true, false, std::nullopt};
  // Positions: lengths, then a zero byte and the resume field.
  if (!asked.starts_with(kLengthsSuffix) || asked.size() == kLengthsSuffix.size() ||
      asked[kLengthsSuffix.size()] != '\0') {
    return {};
  }
  // The resume field ends at the next zero byte; the words after it ask for more.
  std::string_view field = asked.substr(kLengthsSuffix.size() + 1);
  const std::size_t more = field.find('\0');
  const bool asks_whole = more != std::string_view::npos && field.substr(more) == kWholeSuffix;
  if (more != std::string_view::npos) field = field.substr(0, more);
  return {true, true, parse_resume_field(field), asks_whole};
}

std::size_t write_grant(char* out, std::size_t most, std::string_view path, bool& lengths,
                        bool& whole) {
  const std::size_t length = std::min(kGrantPrefix.size() + path.size(), most);
  const std::string grant = std::string(kGrantPrefix) + std::string(path);
  std::memcpy(out, grant.data(), length);
  // Lengths are granted only where the answer has room to name them.
  lengths = lengths && length + kLengthsSuffix.size() <= most;
  whole = whole && lengths && length + kLengthsSuffix.size() + kWholeSuffix.size() <= most;
  if (!lengths) return length;
  std::memcpy(out + length, kLengthsSuffix.data(), kLengthsSuffix.size());
  if (!whole) return length + kLengthsSuffix.size();
  std::memcpy(out + length + kLengthsSuffix.size(), kWholeSuffix.data(), kWholeSuffix.size());
  return length + kLengthsSuffix.size() + kWholeSuffix.size();
}

std::size_t write_refusal(char* out) {
  std::memcpy(out, kRefusal.data(), kRefusal.size());
  return kRefusal.size();
}

}  // namespace vantrel::codec
