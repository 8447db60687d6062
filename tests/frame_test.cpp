// The frame codec: frame layouts, round trips, malformed lengths and hostile trailer bytes.
#include "codec/frame.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "service/service_state.h"
#include "settings/settings.h"

namespace vantrel::codec {
namespace {

using service::kReceiveSize;
using service::kTransferBufferSize;
using settings::key_from_number;
using Bytes = std::vector<std::uint8_t>;

const Key kKey = key_from_number(0x3e07b1d4);
constexpr char kDecodeError[] = "vantrel: Error decoding data! Attempting to continue...\n";
constexpr std::uint8_t kJunk = 0x5A;  // what an earlier use left in the buffer

Bytes nonzero_payload(std::size_t length) {
  Bytes payload(length);
  for (std::size_t i = 0; i < length; ++i) payload[i] = static_cast<std::uint8_t>(i * 37 % 255 + 1);
  return payload;
}

// A transfer buffer holding `bytes` at its start and junk after them.
Bytes transfer_buffer(const Bytes& bytes) {
  Bytes buffer(kTransferBufferSize, kJunk);
  std::copy(bytes.begin(), bytes.end(), buffer.begin());
  return buffer;
}

// Decodes the first `received` bytes of the buffer; returns what was printed.
std::string decode_captured(Bytes& buffer, std::size_t received, std::size_t& end,
                            const Key& key = kKey) {
  ::testing::internal::CaptureStdout();
  end = decode_frame(buffer.data(), received, key);
  return ::testing::internal::GetCapturedStdout();
}

TEST(FrameCodec, ShortPayloadsGiveTheDocumentedBytes) {
  // Key 0x3e07b1d4: byte j of the scrambled region is XORed with 3e, 07, b1, d4 in turn.
  const struct {
    const char* payload;
    Bytes frame_and_zero;
  } cases[] = {
      {"", {0x01, 0x00}},
      {"abc", {0x5f, 0x65, 0xd2, 0x2b, 0x02, 0x00}},
      {"abcd", {0x5f, 0x65, 0xd2, 0xb0, 0x01, 0x00}},
      {"abcde", {0x5f, 0x65, 0xd2, 0xb0, 0x5b, 0xf8, 0x4e, 0x2b, 0x04, 0x00}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload);
    const std::size_t length = std::strlen(c.payload);
    Bytes buffer = transfer_buffer(Bytes(c.payload, c.payload + length));
    const std::size_t frame_length = encode_frame(buffer.data(), length, kKey);
    ASSERT_EQ(frame_length + 1, c.frame_and_zero.size());
    EXPECT_EQ(Bytes(buffer.data(), buffer.data() + c.frame_and_zero.size()), c.frame_and_zero);
    EXPECT_EQ(buffer[c.frame_and_zero.size()], kJunk);

    std::size_t end = 0;
    EXPECT_EQ(decode_captured(buffer, frame_length, end), "");
    EXPECT_EQ(end, length);
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), c.payload);
  }
}

TEST(FrameCodec, RoundTripsEveryLengthModuloFourWithAnyKey) {
  // Every remainder, short and long, on both sides of the scrambler's 256-byte blocks.
  std::vector<std::size_t> lengths = {0, 1, 2, 3, 4, 5, 6, 7, 8, 255, 256, 257, 258, 259, 511, 513};
  lengths.insert(lengths.end(), {kMaxPayload - 1, kMaxPayload, kReceiveSize});
  for (const std::uint32_t number : {0x3e07b1d4u, 0x00000001u, 0x80000000u, 0xffffffffu}) {
    const Key key = key_from_number(number);
    for (const std::size_t length : lengths) {
      SCOPED_TRACE(testing::Message()
                   << "key " << std::hex << number << std::dec << " length " << length);
      const Bytes payload = nonzero_payload(length);
      Bytes buffer = transfer_buffer(payload);
      const std::size_t padding = (4 - length % 4) % 4;
      const std::size_t frame_length = encode_frame(buffer.data(), length, key);
      ASSERT_EQ(frame_length, length + padding + 1);
      EXPECT_EQ(buffer[frame_length - 1], padding + 1);
      EXPECT_EQ(buffer[frame_length], 0);
      EXPECT_EQ(buffer[encoded_room(length)], kJunk);
      // Byte j goes with key byte j mod 4 whatever the host's order, in the bulk and the tail.
      std::size_t mismatches = 0;
      for (std::size_t j = 0; j < length + padding; ++j) {
        const std::uint8_t plain = j < length ? payload[j] : 0xFF;
        mismatches += buffer[j] != (plain ^ key[j % 4]);
      }
      EXPECT_EQ(mismatches, 0u);

      std::size_t end = 0;
      EXPECT_EQ(decode_captured(buffer, frame_length, end, key), "");
      EXPECT_EQ(end, length);
      EXPECT_TRUE(std::equal(payload.begin(), payload.end(), buffer.begin()));
      EXPECT_EQ(buffer[length], 0);
    }
  }
}

TEST(FrameCodec, MalformedLengthsAreReportedAndOnlyWholeGroupsUnscrambled) {
  for (std::size_t n = 0; n <= 12; ++n) {
    SCOPED_TRACE(n);
    Bytes received = nonzero_payload(n);
    // A last byte that reads as 0 after decoding keeps the terminator at n.
    if (n > 0) received[n - 1] = n % 4 == 0 ? kKey[3] : 0;
    Bytes buffer = transfer_buffer(received);
    std::size_t end = 0;
    EXPECT_EQ(decode_captured(buffer, n, end), n % 4 == 1 ? "" : kDecodeError);
    EXPECT_EQ(end, n);
    for (std::size_t j = 0; j < n; ++j) {
      const bool in_group = j < n / 4 * 4;
      EXPECT_EQ(buffer[j], in_group ? received[j] ^ kKey[j % 4] : received[j]) << "byte " << j;
    }
    EXPECT_EQ(buffer[n], 0);
  }
}

TEST(FrameCodec, HostileTrailerNeverEndsTheTextPastTheReceivedBytes) {
  static_assert(encoded_room(kReceiveSize) <= kTransferBufferSize,
                "a reply built from a full receive fits the transfer buffer");
  // Lengths 6 and 65536 also show the trailer read as received and after unscrambling.
  for (const std::size_t n : {std::size_t{1}, std::size_t{5}, std::size_t{6}, kReceiveSize}) {
    for (int t = 0; t < 256; ++t) {
      // Received bytes that decode to nonzero text, then the trailer value t.
      Bytes buffer = transfer_buffer(Bytes(n, 'x'));
      buffer[n - 1] = static_cast<std::uint8_t>(t);
      scramble_groups(buffer.data(), n, kKey);

      std::size_t end = 0;
      const std::string printed = decode_captured(buffer, n, end);
      const auto signed_t = static_cast<std::int8_t>(t);
      const auto wanted = static_cast<std::ptrdiff_t>(n) - signed_t;
      const std::size_t expected = wanted >= 0 && wanted <= static_cast<std::ptrdiff_t>(n)
                                       ? static_cast<std::size_t>(wanted)
                                       : n;
      ASSERT_EQ(end, expected) << "n " << n << " trailer " << t;
      ASSERT_EQ(buffer[end], 0);
      ASSERT_LE(std::strlen(reinterpret_cast<const char*>(buffer.data())), n);
      ASSERT_TRUE(std::all_of(buffer.begin() + static_cast<std::ptrdiff_t>(n) + 1, buffer.end(),
                              [](std::uint8_t b) { return b == kJunk; }));
      ASSERT_EQ(printed, n % 4 == 1 ? "" : kDecodeError);
    }
  }
}

}  // namespace
}  // namespace vantrel::codec
