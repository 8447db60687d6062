// Frame assembly, for a daemon that sends no lengths: the daemon sends each frame with one send,
// but TCP keeps no message boundaries: a frame may arrive over several receives, and frames sent
// close together arrive in one. The frame format has no length, so the frame assembly below takes
// the byte stream apart by choosing, among the ways to cut it into whole frames, the one whose
// payloads read most like text:
//
//   - a whole frame is 1 modulo 4 long, ends in a trailer of 1 to 4, has padding that
//     unscrambles to 0xFF, and at most 65532 bytes of payload;
//   - a false cut leaves traces: the bytes after it unscramble with the key shifted by one to
//     three bytes, and a real trailer or padding read as payload comes out as bytes text rarely
//     holds. So every payload byte scores (printable ASCII, tab, newline, carriage return and
//     escape highest, bytes of 0x80 and above a little less, so that UTF-8 and 8-bit encodings
//     count as text, other controls against), and the cut with the highest sum wins. Scores
//     only compare cuts of the same bytes with each other; nothing is refused for its bytes;
//   - dynamic programming over the positions where a frame may end (the byte before is 1 to
//     4) finds it. Where only one cut exists, nothing is scored;
//   - a frame is written once the bytes after it confirm its cut (the likeliest reading goes on
//     past it), or once the connection has been quiet for kQuietMilliseconds with the bytes
//     read so far ending in it;
//   - output is append-only. The last written frame is kept: if later bytes show that its cut
//     was false (it reads better as going on), the bytes it held back, from the false trailer
//     on, are written as a continuation, and the stream carries on from the true cut;
//   - bytes that no cut can make frames of, beyond twice the largest frame, are dropped and
//     reported; where no reading scores above another (data that is not text), the likeliest
//     is kept and the bytes are reported.
//
// What remains ambiguous: the same bytes can be a frame and the start of a longer one ("What"
// and the first five bytes of "What? disk is full" are the same bytes under key 3e07b1d4), so
// a frame ending in such a trailer is only written when the next bytes or a quiet moment come;
// and a key that differs from the daemon's only in its first byte passes every padding check,
// which never covers a group's first byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "codec/key.h"

namespace vantrel::follow {

using codec::Key;

// The largest frame the daemon sends is 65533 bytes; receives take up to this many.
inline constexpr std::size_t kMaxBlock = 65536;
// A connection quiet for this long with the bytes read so far ending in a whole frame has
// that frame written.
inline constexpr int kQuietMilliseconds = 30;

// The payload length of a block of `size` bytes that is one frame: size minus the trailer
// byte. -1 when the size is not 1 modulo 4 or the trailer is not 1 to 4.
std::ptrdiff_t payload_length(const std::uint8_t* block, std::size_t size);

// Whether the block is one whole frame under `key`: payload_length is not -1 and the padding
// bytes before the trailer unscramble to 0xFF.
bool is_whole_frame(const std::uint8_t* block, std::size_t size, const Key& key);

struct Payload {
  std::size_t offset;  // into FrameAssembly::output
  std::size_t size;
  bool padded;             // its frame had padding, which unscrambled to 0xFF: the key is right
  bool continues;          // the bytes go on the payload written before: its cut proved false
  std::size_t stream_end;  // bytes of the stream up to the end of its frame's trailer
};

// Where a frame may end: by position modulo 4, the positions after a byte of 1 to 4.
using FrameEnds = std::array<std::vector<std::size_t>, 4>;

struct FrameAssembly {
  Key key{};
  std::vector<std::uint8_t> bytes;  // from a group before the last written frame on
  std::size_t written_start = 0;    // the last written frame is bytes[written_start, written_end)
  std::size_t written_end = 0;      // where reading goes on; 0 with no frame written yet
  FrameEnds ends;
  std::size_t ends_scanned = 0;                // bytes looked at for ends so far
  std::array<std::vector<int>, 4> score_sums;  // filled only when cuts compete
  // What the last call wrote: the decoded payloads, in order.
  std::vector<std::uint8_t> output;
  std::vector<Payload> payloads;
  std::size_t dropped = 0;          // bytes that no cut made frames of
  std::size_t tied = 0;             // bytes written by a cut that read no better than another
  std::size_t forgotten = 0;        // stream bytes before `bytes` begins
  std::size_t held = 0;             // after a quiet moment: bytes that still form no whole frame
  std::size_t held_at_reading = 0;  // bytes not yet written after the last reading
  std::vector<std::size_t> starts;  // where the last reading had frames start, in stream bytes
};

// Adds one receive. Afterwards `payloads` and `output` hold what it confirmed, `dropped` and
// `tied` what to report; all may be empty.
void add_receive(FrameAssembly& assembly, const std::uint8_t* data, std::size_t size);

// The connection has been quiet: writes the frames held back, whatever their bytes, when the
// bytes read so far end in a whole frame; `held` says what still waits.
void take_quiet(FrameAssembly& assembly);

// Bytes read that no written frame holds yet.
std::size_t unwritten_bytes(const FrameAssembly& assembly);

// Whether a payload reads as text: no controls but tab, newline, carriage return, form feed,
// backspace and escape, and bytes of 0x80 and above only in valid UTF-8 or outside 0x80 to
// 0x9F (8-bit encodings such as Latin-1). A sequence cut by either end of the payload counts.
bool reads_as_text(const std::uint8_t* payload, std::size_t size);

}  // namespace vantrel::follow
