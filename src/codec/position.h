// Positions in the log that a viewer can hand back after a reconnect, or to a restarted daemon.
//
// A position token names a byte of one file, 32 bytes, every number most significant byte first:
//
//   [ device : 8 ][ inode : 8 ][ offset : 8 ][ check length : 1 ][ check : 7 ]
//
// The check is the low 56 bits of the 64-bit FNV-1a digest of the `check length` (0 to 64)
// bytes just before the offset. Device and inode find the file again; the check catches an
// inode used again by another file, and a file rewritten in place. The daemon's own tokens
// check the 64 bytes before the offset (fewer near the start); a viewer checks the bytes it has
// written itself since the daemon's last token, which it therefore can always compute.
//
// A viewer asks for positions at login: after its password's zero byte, "framed", another zero
// byte and a resume field: "new" (where any new viewer starts), "lines N" (the last N lines),
// "bytes N" (the last N bytes, from a line start), or "at " and the token as 64 hexadecimal
// digits. The daemon answers as to any framed login,
// then, behind its frames' lengths, sends a notice wherever the stream starts, and again
// wherever it stops following on from the last byte sent. A notice stands where a frame's
// length would, behind a length no frame has:
//
//   [ 0xFFFFFFFF : 4 ][ kind : 1 ][ bytes skipped : 8, all ones when unknown ][ token : 32 ]
//
// The token is where the stream goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::codec {

inline constexpr std::size_t kTokenBytes = 32;
// The most bytes a check covers.
inline constexpr std::size_t kCheckBytes = 64;

struct Position {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t offset = 0;
  std::uint8_t check_length = 0;  // bytes before `offset` that `check` covers
  std::uint64_t check = 0;        // 56 bits
  bool operator==(const Position&) const = default;
};

// The check of the `length` bytes before a position.
std::uint64_t check_of(const std::uint8_t* bytes, std::size_t length);

void write_token(std::uint8_t* out, const Position& position);
// Returns no value for a check length over kCheckBytes.
std::optional<Position> read_token(const std::uint8_t* in);

// A token as 64 lower-case hexadecimal digits, and back: no value for anything else.
std::string token_hex(const Position& position);
std::optional<Position> parse_token_hex(std::string_view hex);

// Why the stream starts or jumps where a notice says.
enum class NoticeKind : std::uint8_t {
  kStart = 1,    // a viewer that did not resume starts here
  kResumed,      // exactly where the viewer asked
  kRotated,      // the old file was read to its end; the new one starts
  kTruncated,    // the file was cut back or rewritten in place: sent again from its start
  kLagBound,     // the viewer fell further behind than the daemon keeps for it
  kResumeBound,  // the viewer asked for more than the daemon lets a viewer resume
  kReplaced,     // the position names a file the daemon no longer has
  kUnreadable,   // the resume field could not be read: started as a new viewer
};

inline constexpr std::uint32_t kNoticeMark = 0xFFFFFFFF;
inline constexpr std::uint64_t kUnknownSkip = ~std::uint64_t{0};
// The mark included.
inline constexpr std::size_t kNoticeBytes = 4 + 1 + 8 + kTokenBytes;

struct Notice {
  NoticeKind kind = NoticeKind::kStart;
  std::uint64_t skipped = 0;  // kUnknownSkip when unknown
  Position position;
};

void write_notice(std::uint8_t* out, const Notice& notice);

// Whether the stream skipped bytes there (or may have): everything but a start, an exact
// resume, and a rotation that read the old file to its end.
bool is_gap(const Notice& notice);
// Reads the kNoticeBytes - 4 bytes after the mark. No value for an unknown kind or a bad token.
std::optional<Notice> read_notice(const std::uint8_t* in);

// What a viewer asks for in its resume field.
struct ResumeRequest {
  enum class Kind { kNew, kLines, kBytes, kAt };
  Kind kind = Kind::kNew;
  std::uint64_t lines = 0;  // or bytes
  Position at;
};

std::string resume_field(const ResumeRequest& request);
// No value for a field that is none of the three forms.
std::optional<ResumeRequest> parse_resume_field(std::string_view field);

}  // namespace vantrel::codec
