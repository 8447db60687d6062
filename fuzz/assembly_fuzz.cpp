// The viewer's frame assembly on fuzzed cuts: the input picks a stream of log text frames (a
// seed) and where the receives end and the connection goes quiet; whatever the cuts, the
// payloads must come out exactly, nothing dropped and nothing held back at the end.
#include <random>
#include <string>

#include "fuzz_support.h"
#include "support/log_stream.h"
#include "viewer/viewer.h"

namespace {

using vantrel::fuzz::check;

struct Output {
  std::string text;
  std::size_t dropped = 0;
};

void collect(const vantrel::viewer::FrameAssembly& assembly, Output& output) {
  output.dropped += assembly.dropped;
  for (const vantrel::viewer::Payload& payload : assembly.payloads) {
    output.text.append(reinterpret_cast<const char*>(assembly.output.data() + payload.offset),
                       payload.size);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::mt19937 random(static_cast<std::uint32_t>(data[0] | data[1] << 8));
  // Frames of up to 4 KiB keep each run quick under the sanitizers; the cuts are what is fuzzed.
  const vantrel::testing::LogStream log = vantrel::testing::make_log_stream(random, 4096);
  vantrel::viewer::FrameAssembly assembly;
  assembly.key = vantrel::settings::key_from_number(log.key);
  Output output;
  std::size_t at = 0;
  // Each further input byte is a receive: its low 7 bits a size (1 to 16 bytes, or a multiple
  // of 64), its top bit a quiet moment after it.
  for (std::size_t i = 2; at < log.bytes.size(); ++i) {
    const std::uint8_t cut = i < size ? data[i] : 0x7f;
    const std::size_t piece = (cut & 0x7f) < 16 ? (cut & 0x0f) + 1 : (cut & 0x7f) * 64;
    const std::string receive = log.bytes.substr(at, piece);
    at += receive.size();
    add_receive(assembly, reinterpret_cast<const std::uint8_t*>(receive.data()), receive.size());
    collect(assembly, output);
    if ((cut & 0x80) != 0) {
      take_quiet(assembly);
      collect(assembly, output);
    }
  }
  take_quiet(assembly);
  collect(assembly, output);
  check(output.text == log.payloads, "the payloads come out exactly");
  check(output.dropped == 0, "nothing is dropped");
  check(unwritten_bytes(assembly) == 0, "nothing is held back once the connection is quiet");
  return 0;
}
