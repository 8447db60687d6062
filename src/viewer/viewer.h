// The viewer: connects to the daemon, optionally logs in, and writes the log stream to standard
// output as it arrives.
//
// The daemon sends each frame with one send, but TCP keeps no message boundaries: a large frame
// may arrive over several receives, and frames sent close together may arrive in one. The frame
// assembly below gathers receives into a block and hands back whole frames only:
//
//   - a block that can be cut into whole frames in exactly one way (most often: it is one
//     frame) is cut so, and each frame decoded. A whole frame is 1 modulo 4 long, its trailer
//     is 1 to 4 and its padding unscrambles to 0xFF;
//   - a block that can be cut in several ways is dropped: a run of five frames, for one, may
//     also read as one frame;
//   - a block that cannot be cut is kept as the first pieces of a frame, and the next receive
//     is added to it. If the two together form no frame but the new receive alone does, the
//     kept bytes were malformed (a wrong key, or the rest of a frame whose start was lost):
//     they are dropped and the new receive taken on its own;
//   - a block that grows past kMaxBlock bytes without forming a frame is dropped.
//
// The frame format has no length and no checksum, so this is the best a receiver can do: a
// dropped block is reported, never written out as garbage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "settings/settings.h"

namespace vantrel::viewer {

using settings::Key;

// The largest block the assembly keeps; the daemon's frames are at most 65533 bytes.
inline constexpr std::size_t kMaxBlock = 65536;

// Exit statuses.
inline constexpr int kExitHelp = 0;          // -h printed the usage text
inline constexpr int kExitRefused = 1;       // the daemon refused the password
inline constexpr int kExitDaemonGone = 2;    // the daemon closed the connection (without -r)
inline constexpr int kExitNoConnection = 3;  // unknown host, or no connection could be made
inline constexpr int kExitLoginUnread = 4;   // no readable answer to the login: wrong key?
inline constexpr int kExitBadSetup = 5;      // bad command line or configuration file
inline constexpr int kExitOutputFailed = 6;  // standard output could not be written

// Reconnection delays with -r: the first wait, doubled after each failed attempt up to the last.
inline constexpr int kFirstRetrySeconds = 1;
inline constexpr int kLastRetrySeconds = 30;
// How long the viewer waits for the answer to its login.
inline constexpr int kLoginReplySeconds = 5;

// ---- Frame assembly (pure) ----

// The payload length of a block of `size` bytes that is one frame: size minus the trailer
// byte. -1 when the size is not 1 modulo 4 or the trailer is not 1 to 4.
std::ptrdiff_t payload_length(const std::uint8_t* block, std::size_t size);

// Whether the block is one whole frame under `key`: payload_length is not -1 and the padding
// bytes before the trailer unscramble to 0xFF.
bool is_whole_frame(const std::uint8_t* block, std::size_t size, const Key& key);

// Why bytes were dropped.
enum class DropReason {
  kNone,
  kMalformed,  // kept bytes that formed no frame with the receive after them
  kAmbiguous,  // frames run together that could be cut apart in several ways
  kTooLong,    // grew past kMaxBlock bytes without forming a frame
};

struct Payload {
  std::size_t offset;  // into FrameAssembly::block
  std::size_t size;
};

struct FrameAssembly {
  std::vector<std::uint8_t> block;  // receives gathered since the last frames or drop
  std::vector<Payload> payloads;    // the payloads the last receive completed, in order
  std::size_t dropped = 0;          // bytes the last receive showed to be no frame
  DropReason drop_reason = DropReason::kNone;
  bool finished = false;  // block holds decoded frames; the next receive starts anew
};

// Adds one receive to the assembly. Afterwards `payloads` lists the frames it completed (their
// bytes stay valid until the next call) and `dropped` the bytes it showed to be no frame; both
// may be empty, and both may be set at once.
void add_receive(FrameAssembly& assembly, const std::uint8_t* data, std::size_t size,
                 const Key& key);

// ---- The program ----

struct ViewerOptions {
  std::string host = "127.0.0.1";
  bool reconnect = false;       // -r: reconnect whenever the daemon goes away
  settings::Settings settings;  // port, password and key; -c and -p fill it too
};

enum class ArgumentsResult { kRun, kHelp, kError };

// Reads the command line into `options`. kHelp after the usage text was printed to standard
// output, kError after the problem and the usage text were printed to standard error.
ArgumentsResult parse_viewer_arguments(int argc, const char* const* argv, ViewerOptions& options);

// Reads the configuration file as the daemon does (the -c path, or "vantrel.cfg" beside
// `program_path`) and fills in the default port. Returns false after reporting an unreadable
// file or a missing or zero key.
bool load_viewer_settings(const char* program_path, ViewerOptions& options);

// Connects, logs in when a password is set, and copies the stream to standard output until the
// daemon goes away (or, with -r, for ever). Returns the exit status.
int run_viewer(const ViewerOptions& options);

}  // namespace vantrel::viewer
