// Frame codec throughput over the largest payload a poll sends, beside memcpy of as many
// bytes: scrambling reads and writes each byte once, so a copy is the speed to aim for. And
// the viewer's frame assembly on frames run together, beside the codec's decode of the same
// bytes with the cuts known.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "codec/frame.h"
#include "follow/frame_assembly.h"
#include "follow/length_reader.h"
#include "settings/settings.h"

namespace {

using vantrel::codec::kMaxPayload;

constexpr std::size_t kFrameLength = kMaxPayload + 1;
// Byte counts as the benchmark library counts them.
constexpr auto kPayloadBytes = static_cast<std::int64_t>(kMaxPayload);
constexpr auto kFrameBytes = static_cast<std::int64_t>(kFrameLength);
const vantrel::settings::Key kKey = vantrel::settings::key_from_number(0x3e07b1d4);

std::vector<std::uint8_t> make_buffer() {
  std::vector<std::uint8_t> buffer(vantrel::codec::encoded_room(kMaxPayload) + 8);
  for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return buffer;
}

// Encoding in place scrambles the payload once per iteration; the buffer never needs
// restoring, since whatever it holds is a payload of the same length.
void BM_EncodeFrame(benchmark::State& state) {
  std::vector<std::uint8_t> buffer = make_buffer();
  for (auto _ : state) {
    benchmark::DoNotOptimize(buffer.data());
    benchmark::DoNotOptimize(vantrel::codec::encode_frame(buffer.data(), kMaxPayload, kKey));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kPayloadBytes);
}
BENCHMARK(BM_EncodeFrame);

// Decoding overwrites the trailer with the terminator, so it is put back each time; the
// payload needs no restoring for the same reason as above.
void BM_DecodeFrame(benchmark::State& state) {
  std::vector<std::uint8_t> buffer = make_buffer();
  vantrel::codec::encode_frame(buffer.data(), kMaxPayload, kKey);
  const std::uint8_t trailer = buffer[kFrameLength - 1];
  for (auto _ : state) {
    buffer[kFrameLength - 1] = trailer;
    benchmark::DoNotOptimize(buffer.data());
    benchmark::DoNotOptimize(vantrel::codec::decode_frame(buffer.data(), kFrameLength, kKey));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kFrameBytes);
}
BENCHMARK(BM_DecodeFrame);

void BM_Memcpy(benchmark::State& state) {
  std::vector<std::uint8_t> source = make_buffer();
  std::vector<std::uint8_t> target(source.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(source.data());
    std::memcpy(target.data(), source.data(), kMaxPayload);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * kPayloadBytes);
}
BENCHMARK(BM_Memcpy);

// Frames of log text run together, as catch-up sends them, received 64 KiB at a time.
constexpr std::size_t kRunFrames = 8;

std::vector<std::uint8_t> frames_run_together(std::vector<std::size_t>& ends) {
  const std::string line = "[12:00:01] GET /index.html 200 user=alice ERROR disk is full\n";
  std::vector<std::uint8_t> stream;
  for (std::size_t frame = 0; frame < kRunFrames; ++frame) {
    std::vector<std::uint8_t> buffer(vantrel::codec::encoded_room(kMaxPayload));
    for (std::size_t i = 0; i < kMaxPayload; ++i) {
      buffer[i] = static_cast<std::uint8_t>(line[(i + frame * 7) % line.size()]);
    }
    const std::size_t length = vantrel::codec::encode_frame(buffer.data(), kMaxPayload, kKey);
    stream.insert(stream.end(), buffer.begin(),
                  buffer.begin() + static_cast<std::ptrdiff_t>(length));
    ends.push_back(stream.size());
  }
  return stream;
}

// The viewer's assembly: it finds the cuts itself.
void BM_AssembleFramesRunTogether(benchmark::State& state) {
  std::vector<std::size_t> ends;
  const std::vector<std::uint8_t> stream = frames_run_together(ends);
  for (auto _ : state) {
    vantrel::follow::FrameAssembly assembly;
    assembly.key = kKey;
    for (std::size_t at = 0; at < stream.size(); at += vantrel::follow::kMaxBlock) {
      const std::size_t size = std::min(vantrel::follow::kMaxBlock, stream.size() - at);
      vantrel::follow::add_receive(assembly, stream.data() + at, size);
      benchmark::DoNotOptimize(assembly.output.data());
    }
    vantrel::follow::take_quiet(assembly);
    benchmark::DoNotOptimize(assembly.output.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
}
BENCHMARK(BM_AssembleFramesRunTogether);

// The codec's decode of the same bytes, told where each frame ends.
void BM_DecodeFramesRunTogether(benchmark::State& state) {
  std::vector<std::size_t> ends;
  const std::vector<std::uint8_t> stream = frames_run_together(ends);
  std::vector<std::uint8_t> buffer(stream.size() + 1);
  for (auto _ : state) {
    std::memcpy(buffer.data(), stream.data(), stream.size());
    std::size_t start = 0;
    for (const std::size_t end : ends) {
      benchmark::DoNotOptimize(
          vantrel::codec::decode_frame(buffer.data() + start, end - start, kKey));
      start = end;
    }
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(stream.size()));
}
BENCHMARK(BM_DecodeFramesRunTogether);

}  // namespace
