// Frames behind their lengths: whatever the receives' cuts and the payloads' bytes, the payloads
// come out exactly; a length that no frame can have loses the stream, and says so.
#include "follow/length_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <utility>
#include <vector>

#include "codec/frame.h"
#include "codec/position.h"
#include "follow/frame_assembly.h"
#include "support/viewer.h"

namespace vantrel::follow {
namespace {

std::string random_bytes(std::mt19937& random, std::size_t size) {
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random());
  return bytes;
}

std::string with_length(const std::string& frame) {
  std::uint8_t prefix[codec::kLengthPrefixBytes];
  codec::write_length_prefix(prefix, frame.size());
  return std::string(reinterpret_cast<const char*>(prefix), sizeof prefix) + frame;
}

// Notices, each with the offset into the whole output where it fell.
using Notices = std::vector<std::pair<std::size_t, codec::Notice>>;

std::string feed(LengthReader& reader, const std::string& stream, std::mt19937& random,
                 Notices* notices = nullptr) {
  std::string out;
  for (std::size_t at = 0; at < stream.size();) {
    const std::size_t piece = std::min<std::size_t>(stream.size() - at, 1 + random() % 9000);
    add_length_receive(reader, reinterpret_cast<const std::uint8_t*>(stream.data() + at), piece);
    for (const auto& [offset, notice] : reader.notices) {
      if (notices != nullptr) notices->emplace_back(out.size() + offset, notice);
    }
    out.append(reader.output.begin(), reader.output.end());
    at += piece;
  }
  return out;
}

codec::Notice random_notice(std::mt19937& random) {
  codec::Notice notice;
  notice.kind = static_cast<codec::NoticeKind>(1 + random() % 8);
  notice.skipped = random() % 2 == 0 ? codec::kUnknownSkip : random();
  notice.position = {random(), random(), random(), static_cast<std::uint8_t>(random() % 65),
                     random() & 0xFFFFFF};
  return notice;
}

TEST(LengthReader, ArbitraryPayloadsAndNoticesUnderArbitraryCutsComeOutExactlyAndInPlace) {
  std::mt19937 random(15);
  for (int round = 0; round < 300; ++round) {
    const std::uint32_t key = round % 3 == 0 ? 0x41424344 : static_cast<std::uint32_t>(random());
    std::string stream;
    std::string payloads;
    Notices sent;
    for (int frame = 0; frame < 8; ++frame) {
      if (random() % 3 == 0) {
        sent.emplace_back(payloads.size(), random_notice(random));
        std::string notice(codec::kNoticeBytes, '\0');
        codec::write_notice(reinterpret_cast<std::uint8_t*>(notice.data()), sent.back().second);
        stream += notice;
      }
      const std::size_t size = random() % 4 == 0 ? random() % codec::kMaxPayload : random() % 300;
      const std::string payload = random_bytes(random, size);
      payloads += payload;
      stream += with_length(testing::make_frame(payload, key));
    }
    LengthReader reader;
    reader.key = settings::key_from_number(key);
    Notices received;
    EXPECT_EQ(feed(reader, stream, random, &received), payloads) << "round " << round;
    EXPECT_FALSE(reader.malformed);
    EXPECT_EQ(reader.bytes.size(), reader.taken);
    ASSERT_EQ(received.size(), sent.size()) << "round " << round;
    for (std::size_t i = 0; i < sent.size(); ++i) {
      EXPECT_EQ(received[i].first, sent[i].first) << "round " << round;
      EXPECT_EQ(received[i].second.position, sent[i].second.position) << "round " << round;
      EXPECT_EQ(received[i].second.skipped, sent[i].second.skipped) << "round " << round;
    }
  }
}

TEST(LengthReader, ALengthNoFrameHasOrABrokenFrameLosesTheStream) {
  std::mt19937 random(16);
  const std::string good = with_length(testing::make_frame("good\n"));
  std::string wrong_padding = with_length(testing::make_frame("ab"));
  wrong_padding[codec::kLengthPrefixBytes + 3] ^= 1;
  for (const std::string& bad :
       {std::string("\0\0\0\x08", 4) + "12345678", std::string("\0\x01\0\x01", 4), wrong_padding,
        std::string("\xff\xff\xff\xff\x09", 5) + std::string(40, '\0')}) {
    LengthReader reader;
    reader.key = settings::key_from_number(testing::kTestKey);
    EXPECT_EQ(feed(reader, good + bad + good, random), "good\n");
    EXPECT_TRUE(reader.malformed);
  }
}

TEST(LengthReader, TheAnswerThatGrantsLengthsIsKnownWhereverItEnds) {
  std::mt19937 random(17);
  for (int round = 0; round < 500; ++round) {
    const std::uint32_t number = static_cast<std::uint32_t>(random());
    const Key key = settings::key_from_number(number);
    std::string path = "/var/log/" + std::to_string(random()) + ".log";
    const std::string answer =
        testing::make_frame("YIPI " + path + std::string("\0framed", 7), number);
    const std::string before = testing::make_frame(random_bytes(random, random() % 50), number);
    std::vector<std::uint8_t> stream(before.begin(), before.end());
    stream.insert(stream.end(), answer.begin(), answer.end());
    EXPECT_TRUE(ends_with_framed_answer(stream, key)) << round;
    stream.pop_back();
    EXPECT_FALSE(ends_with_framed_answer(stream, key)) << round;
    const std::string plain = testing::make_frame("YIPI " + path, number);
    EXPECT_FALSE(ends_with_framed_answer({plain.begin(), plain.end()}, key)) << round;
  }
}

}  // namespace
}  // namespace vantrel::follow
