// The frame: the unit on the wire in both directions.
//
// A payload of L bytes is padded with P = (4 - L mod 4) mod 4 bytes of 0xFF, the L + P bytes
// are XORed in 4-byte groups with the key's bytes k0 k1 k2 k3 (most significant first, so byte
// j takes k(j mod 4) on every host), and one plain trailer byte P + 1 follows:
//
//   [ payload, scrambled : L ][ 0xFF padding, scrambled : P ][ P + 1 : 1 ]
//
// A frame is therefore always 1 modulo 4 bytes long. It has no header, length or checksum: the
// receiver takes the bytes of one receive to be one frame. Both operations work in place and
// allocate nothing.
//
// A viewer that asks for lengths at login (login.h) gets each later frame behind its length, 4
// plain bytes, most significant first:
//
//   [ frame length : 4, not scrambled ][ the frame as above ]
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/key.h"

namespace vantrel::codec {

// The largest payload whose frame (65533 bytes) fits one 65536-byte receive.
inline constexpr std::size_t kMaxPayload = 65532;

// Bytes of buffer that encoding a payload of `payload_length` bytes uses: the frame plus the
// zero byte written after it.
constexpr std::size_t encoded_room(std::size_t payload_length) {
  return payload_length + (4 - payload_length % 4) % 4 + 2;
}

// Turns the payload in buffer[0, length) into a frame in place and writes a zero byte after
// it. The buffer must hold encoded_room(length) bytes. Returns the frame length, L + P + 1.
std::size_t encode_frame(std::uint8_t* buffer, std::size_t length, const Key& key);

// Unscrambles the `received` bytes at the start of the buffer in place and ends the text with
// a zero byte at received - t, where t is the last byte read as a signed 8-bit number; where
// that index falls outside [0, received], the text ends at `received` instead. The buffer must
// hold received + 1 bytes. A length that is not 1 modulo 4 is reported on standard output and
// decoded all the same (whole 4-byte groups only). Returns the index of the terminating zero.
std::size_t decode_frame(std::uint8_t* buffer, std::size_t received, const Key& key);

inline constexpr std::size_t kLengthPrefixBytes = 4;
// The longest frame a length may announce.
inline constexpr std::size_t kMaxFrame = kMaxPayload + 1;

// Writes `frame_length` as the 4-byte prefix, most significant byte first.
void write_length_prefix(std::uint8_t* prefix, std::size_t frame_length);

// Reads a 4-byte prefix. Returns the frame length it announces, or 0 when that length cannot be
// a frame's (not 1 modulo 4, or longer than kMaxFrame).
std::size_t read_length_prefix(const std::uint8_t* prefix);

// XORs the first 4 * (length / 4) bytes of the buffer with the key.
void scramble_groups(std::uint8_t* buffer, std::size_t length, const Key& key);

}  // namespace vantrel::codec
