// The login's words, for both ends. A viewer logs in with one frame:
//
//   "PASS" [ one byte, never examined ] [ password ]
//
// and may ask for more after a zero byte behind its password: lengths ("framed"), and after
// another zero byte a resume field, which asks for positions (position.h says its forms):
//
//   "PASS " password "\0framed"                      lengths
//   "PASS " password "\0framed" "\0" resume field    lengths and positions
//   ... "\0whole"                                     and the whole log (whole.h)
//
// The daemon grants a login with "YIPI " and the path of the log it serves, and lengths with
// the same zero byte and "framed" after the path, where a viewer that did not ask never looks;
// it refuses one with "WO!!" and closes the connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "codec/position.h"
#include "codec/whole.h"

namespace vantrel::codec {

inline constexpr std::string_view kLoginWord = "PASS";
// "PASS", then the separator byte: the password starts here.
inline constexpr std::size_t kPasswordStart = kLoginWord.size() + 1;
inline constexpr std::string_view kGrantPrefix = "YIPI ";
inline constexpr std::string_view kRefusal = "WO!!";
// What asks for lengths behind a password, and grants them behind a path.
inline constexpr std::string_view kLengthsSuffix{"\0framed", 7};

// ---- The viewer's side ----

// "PASS " and the password: the login as far as a daemon with another key reads it back.
std::string login_text(std::string_view password);

// The whole login: the password, then lengths and a resume field, where `resume` is given, and
// the whole log after it where `whole` asks.
std::string login_request(std::string_view password, const std::optional<ResumeRequest>& resume,
                          bool whole = false);

// The path a grant names: "YIPI " and a path without newline or zero byte; no value otherwise.
std::optional<std::string_view> granted_path(std::string_view payload);

// The path of a grant that also grants lengths; no value otherwise.
std::optional<std::string_view> lengths_granted_path(std::string_view payload);

// Whether a grant of lengths also grants the whole log.
bool grants_whole(std::string_view payload);

// ---- The daemon's side ----

// Whether a decoded text is a login: its first four bytes are "PASS".
bool is_login(const std::uint8_t* text);

// The password field of a login text that ends at `text_end`: the bytes from index 5 up to the
// next zero byte, never past the text's end, so a text of 4 or 5 bytes has an empty one.
std::string_view password_field(const std::uint8_t* text, std::size_t text_end);

// What a login asks for after the zero byte that ends its password.
struct LoginAsks {
  bool lengths = false;
  bool positions = false;
  std::optional<ResumeRequest> resume;  // with positions; no value: the field could not be read
  bool whole = false;                   // with positions: ranges and searches
};
LoginAsks read_login_asks(const std::uint8_t* text, std::size_t text_end);

// Writes a grant of `path` into `out`, which has room for `most` bytes (the payload's bound, so
// no path can outgrow it: it is cut there), with lengths where `lengths` asks and they fit;
// `lengths` is cleared where they do not; so is `whole`, which needs lengths and its own room.
// Returns the payload's length.
std::size_t write_grant(char* out, std::size_t most, std::string_view path, bool& lengths,
                        bool& whole);

// Writes "WO!!". Returns its length.
std::size_t write_refusal(char* out);

}  // namespace vantrel::codec
