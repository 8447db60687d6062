// Numbers on the wire, most significant byte first. Internal to src/codec.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel::codec {

inline void put(std::uint8_t* out, std::uint64_t value, std::size_t bytes) {
  for (std::size_t i = 0; i < bytes; ++i) {
    out[i] = static_cast<std::uint8_t>(value >> (8 * (bytes - 1 - i)));
  }
}

inline std::uint64_t get(const std::uint8_t* in, std::size_t bytes) {
  std::uint64_t value = 0;
  for (std::size_t i = 0; i < bytes; ++i) value = value << 8 | in[i];
  return value;
}

}  // namespace vantrel::codec
