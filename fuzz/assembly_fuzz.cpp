// The viewer's frame assembly on fuzzed input, two ways: frames of the input's own bytes, each
// cut where the input says and followed by a quiet moment; or a stream of log text frames run
// together (a seed), cut and quiet where the input says. Guessing where frames end can be
// misled by bytes made to mislead it (lengths cannot; random bytes come out exactly, as the
// unit tests show), so what must hold is what guessing promises: nothing is held after a quiet
// moment without saying so, nothing is dropped or written twice, and a stream of text frames
// ends with everything written.
#include <algorithm>
#include <random>
#include <string>

#include "follow/frame_assembly.h"
#include "follow/length_reader.h"
#include "fuzz_support.h"
#include "support/log_stream.h"

namespace {

using vantrel::fuzz::check;
namespace follow = vantrel::follow;

struct Run {
  follow::FrameAssembly assembly;
  std::string out;
  std::size_t dropped = 0;

  explicit Run(std::uint32_t key) { assembly.key = vantrel::settings::key_from_number(key); }
  void collect() {
    dropped += assembly.dropped;
    for (const follow::Payload& payload : assembly.payloads) {
      out.append(reinterpret_cast<const char*>(assembly.output.data() + payload.offset),
                 payload.size);
    }
  }
  void receive(const std::string& bytes) {
    add_receive(assembly, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    collect();
  }
  void quiet() {
    take_quiet(assembly);
    collect();
  }
};

// A receive's size from one input byte: 1 to 16 bytes, or a multiple of 64.
std::size_t piece_size(std::uint8_t cut) {
  return (cut & 0x7f) < 16 ? (cut & 0x0f) + 1 : (cut & 0x7f) * 64u;
}

// Input: a key, then frames, each a length byte, that many payload bytes and a cut byte.
void frames_of_the_input(const std::uint8_t* data, std::size_t size) {
  std::mt19937 random(data[0]);
  const std::uint32_t key = vantrel::testing::some_key(random);
  Run run(key);
  std::size_t received = 0;
  for (std::size_t at = 1; at + 2 <= size;) {
    const std::size_t length = std::min<std::size_t>(1 + data[at] % 128, size - at - 1);
    const std::string payload(reinterpret_cast<const char*>(data + at + 1), length);
    at += 1 + length;
    const std::size_t piece = piece_size(at < size ? data[at++] : 0x7f);
    const std::string frame = vantrel::testing::make_frame_with(payload, key);
    for (std::size_t sent = 0; sent < frame.size(); sent += piece)
      run.receive(frame.substr(sent, piece));
    run.quiet();
    received += frame.size();
    check(run.assembly.held == unwritten_bytes(run.assembly),
          "after a quiet moment, bytes are written or said to be held");
    check(run.out.size() <= received, "nothing is written twice");
  }
  check(run.dropped == 0, "nothing is dropped");
}

// Input: a seed, then receives, each byte a size and, in its top bit, a quiet moment after it.
void text_frames_run_together(const std::uint8_t* data, std::size_t size) {
  std::mt19937 random(static_cast<std::uint32_t>(data[0] | data[1] << 8));
  const vantrel::testing::LogStream log = vantrel::testing::make_log_stream(random, 64);
  Run run(log.key);
  std::size_t at = 0;
  for (std::size_t i = 2; at < log.bytes.size(); ++i) {
    const std::uint8_t cut = i < size ? data[i] : 0x7f;
    run.receive(log.bytes.substr(at, piece_size(cut)));
    at = std::min(at + piece_size(cut), log.bytes.size());
    // Quiet moments where the daemon's frames end: a frame's bytes do not pause midway.
    const bool at_frame_end =
        std::find(log.frame_ends.begin(), log.frame_ends.end(), at) != log.frame_ends.end();
    if ((cut & 0x80) != 0 && at_frame_end) run.quiet();
  }
  run.quiet();
  check(run.dropped == 0, "nothing is dropped");
  check(unwritten_bytes(run.assembly) == 0, "nothing is held back once the connection is quiet");
  check(run.out.size() <= log.bytes.size(), "nothing is written twice");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  if (data[0] % 2 == 0) {
    frames_of_the_input(data + 1, size - 1);
  } else {
    text_frames_run_together(data + 1, size - 1);
  }
  return 0;
}
