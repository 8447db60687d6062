// The scrambling key: a 32-bit number, kept as its four bytes most significant first, so that
// byte j of a frame is always XORed with byte j mod 4 of the key, whatever the host's byte
// order.
#pragma once

#include <array>
#include <cstdint>

namespace vantrel::codec {

using Key = std::array<std::uint8_t, 4>;

constexpr Key key_from_number(std::uint32_t number) {
  return Key{static_cast<std::uint8_t>(number >> 24), static_cast<std::uint8_t>(number >> 16),
             static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number)};
}

constexpr std::uint32_t key_to_number(const Key& key) {
  return (std::uint32_t{key[0]} << 24) | (std::uint32_t{key[1]} << 16) |
         (std::uint32_t{key[2]} << 8) | std::uint32_t{key[3]};
}

}  // namespace vantrel::codec
