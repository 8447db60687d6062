// Frame codec throughput over the largest payload a poll sends, beside memcpy of as many
// bytes: scrambling reads and writes each byte once, so a copy is the speed to aim for.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/frame.h"
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

}  // namespace
