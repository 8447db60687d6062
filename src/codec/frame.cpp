#include "codec/frame.h"

#include <cstdio>
#include <cstring>

namespace vantrel::codec {

namespace {

// XORs the 4-byte groups in buffer[begin, end) with the key's bytes as they lie in memory:
// XORing whole words keeps byte j paired with k(j mod 4) whatever the host's byte order.
void scramble_range(std::uint8_t* buffer, std::size_t begin, std::size_t end,
                    std::uint32_t key_word) {
  for (std::size_t i = begin; i < end; i += 4) {
    std::uint32_t word;
    std::memcpy(&word, buffer + i, sizeof word);
    word ^= key_word;
    std::memcpy(buffer + i, &word, sizeof word);
  }
}

}  // namespace

void scramble_groups(std::uint8_t* buffer, std::size_t length, const Key& key) {
  std::uint32_t key_word;
  std::memcpy(&key_word, key.data(), sizeof key_word);
  // Compilers vectorize the loop over groups, but a plain loop runs one or a few 16-byte steps
  // per turn, and the turn's own bookkeeping then costs a third of the speed of a copy (more or
  // less, with where the loop happens to lie in the code). An inner loop of a fixed 256 bytes
  // comes out as 16 straight vector steps per turn, which runs at the speed of a copy.
  constexpr std::size_t kBlock = 256;
  const std::size_t end = length / 4 * 4;
  std::size_t i = 0;
  for (; i + kBlock <= end; i += kBlock) scramble_range(buffer, i, i + kBlock, key_word);
  scramble_range(buffer, i, end, key_word);
}

std::size_t encode_frame(std::uint8_t* buffer, std::size_t length, const Key& key) {
  const std::size_t padding = (4 - length % 4) % 4;
  std::memset(buffer + length, 0xFF, padding);
  scramble_groups(buffer, length + padding, key);
  buffer[length + padding] = static_cast<std::uint8_t>(padding + 1);
  buffer[length + padding + 1] = 0;
  return length + padding + 1;
}

std::size_t decode_frame(std::uint8_t* buffer, std::size_t received, const Key& key) {
  if (received % 4 != 1) std::printf("vantrel: Error decoding data! Attempting to continue...\n");
  scramble_groups(buffer, received, key);
  std::size_t end = received;
  if (received > 0) {
    const auto trailer = static_cast<std::int8_t>(buffer[received - 1]);
    // A hostile trailer must not place the terminator before the text or past the received
    // bytes: past them the text would carry stale bytes of an earlier message.
    const auto candidate = static_cast<std::ptrdiff_t>(received) - trailer;
    if (candidate >= 0 && candidate <= static_cast<std::ptrdiff_t>(received)) {
      end = static_cast<std::size_t>(candidate);
    }
  }
  buffer[end] = 0;
  return end;
}

void write_length_prefix(std::uint8_t* prefix, std::size_t frame_length) {
  for (std::size_t i = 0; i < kLengthPrefixBytes; ++i) {
    prefix[i] = static_cast<std::uint8_t>(frame_length >> (8 * (kLengthPrefixBytes - 1 - i)));
  }
}

std::size_t read_length_prefix(const std::uint8_t* prefix) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < kLengthPrefixBytes; ++i) length = length << 8 | prefix[i];
  return length % 4 == 1 && length <= kMaxFrame ? length : 0;
}

}  // namespace vantrel::codec
