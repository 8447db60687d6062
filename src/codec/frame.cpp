#include "codec/frame.h"

#include <cstdio>
#include <cstring>

namespace vantrel::codec {

void scramble_groups(std::uint8_t* buffer, std::size_t length, const Key& key) {
  // The key's bytes copied as they lie in memory: XORing whole words keeps byte j paired with
  // k(j mod 4) whatever the host's byte order, and lets the compiler vectorize the loop.
  std::uint32_t key_word;
  std::memcpy(&key_word, key.data(), sizeof key_word);
  const std::size_t groups = length / 4;
  for (std::size_t g = 0; g < groups; ++g) {
    std::uint32_t word;
    std::memcpy(&word, buffer + 4 * g, sizeof word);
    word ^= key_word;
    std::memcpy(buffer + 4 * g, &word, sizeof word);
  }
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

}  // namespace vantrel::codec
