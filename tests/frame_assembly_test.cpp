// The viewer's frame assembly: receives in, whole payloads out, whatever the network did to
// the frames on the way.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/viewer.h"
#include "viewer/viewer.h"

namespace vantrel::viewer {
namespace {

using testing::kTestKey;
using testing::make_frame;

const Key kKey = settings::key_from_number(kTestKey);

// Log-like text with zero bytes in it. It holds none of the bytes that, at a group's first
// position, scramble to 1..4 under the test key ('?', '<', '=', ':'), so no part of a frame built
// from it can pass for a frame's end.
std::string sample_payload(std::size_t size) {
  const std::string alphabet = "abcdefghij KLMNOPQRST 0123456789\n";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text.push_back(i % 97 == 13 ? '\0' : alphabet[i % alphabet.size()]);
  }
  return text;
}

const std::uint8_t* bytes(const std::string& text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

class FrameAssemblyTest : public ::testing::Test {
 protected:
  // Feeds one receive; returns the payloads it completed, joined.
  std::string feed(const std::string& receive) {
    add_receive(assembly_, bytes(receive), receive.size(), kKey);
    std::string out;
    for (const Payload& payload : assembly_.payloads) {
      out.append(reinterpret_cast<const char*>(assembly_.block.data() + payload.offset),
                 payload.size);
    }
    return out;
  }
  // Feeds the stream in pieces of `piece` bytes; returns all payloads and checks that nothing
  // was dropped.
  std::string feed_in_pieces(const std::string& stream, std::size_t piece) {
    std::string out;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      out += feed(stream.substr(at, piece));
      EXPECT_EQ(assembly_.dropped, 0u) << "piece " << piece << " at " << at;
    }
    return out;
  }

  FrameAssembly assembly_;
};

TEST(PayloadLength, FollowsFromTheTrailerOfABlockThatIsOneModuloFour) {
  for (const std::string payload : {"", "a", "abc", "abcd", "abcde", "abcdefgh"}) {
    const std::string frame = make_frame(payload);
    EXPECT_EQ(payload_length(bytes(frame), frame.size()),
              static_cast<std::ptrdiff_t>(payload.size()))
        << payload;
  }
}

TEST(PayloadLength, RefusesOtherLengthsAndTrailersOutOfRange) {
  const std::string ok = make_frame("abcde");
  EXPECT_EQ(payload_length(bytes(ok), ok.size() - 1), -1);  // 8 bytes
  EXPECT_EQ(payload_length(bytes(ok), 6), -1);
  for (const char trailer : {'\x00', '\x05', '\xff'}) {
    const std::string block = ok.substr(0, 8) + trailer;
    EXPECT_EQ(payload_length(bytes(block), block.size()), -1) << int{trailer};
  }
  EXPECT_EQ(payload_length(bytes("\x02"), 1), -1);  // a trailer longer than the block
}

TEST(WholeFrame, NeedsPaddingThatUnscramblesToFF) {
  for (std::size_t size = 0; size < 9; ++size) {
    const std::string frame = make_frame(sample_payload(size));
    EXPECT_TRUE(is_whole_frame(bytes(frame), frame.size(), kKey)) << size;
  }
  std::string frame = make_frame("abcde");  // three padding bytes
  frame[6] = static_cast<char>(frame[6] ^ 0x01);
  EXPECT_FALSE(is_whole_frame(bytes(frame), frame.size(), kKey));
  const std::string other_key = make_frame("abcde", 0x11223344);
  EXPECT_FALSE(is_whole_frame(bytes(other_key), other_key.size(), kKey));
}

TEST_F(FrameAssemblyTest, OneReceiveOneFrameGivesItsPayloadZeroBytesIncluded) {
  const std::string payload = std::string("line\0with zero\n", 15);
  EXPECT_EQ(feed(make_frame(payload)), payload);
  EXPECT_EQ(feed(make_frame("next\n")), "next\n");
  EXPECT_EQ(assembly_.dropped, 0u);
}

TEST_F(FrameAssemblyTest, AFrameSplitIntoPiecesOfEverySizeComesOutWhole) {
  for (const std::size_t size : {std::size_t{5}, std::size_t{6}, std::size_t{7}, std::size_t{8},
                                 std::size_t{301}}) {
    const std::string payload = sample_payload(size);
    const std::string frame = make_frame(payload);
    for (std::size_t piece = 1; piece <= frame.size(); ++piece) {
      EXPECT_EQ(feed_in_pieces(frame, piece), payload) << size << " in pieces of " << piece;
    }
  }
}

TEST_F(FrameAssemblyTest, ALargestFrameCutAnywhereInTwoComesOutWhole) {
  const std::string payload = sample_payload(65532);
  const std::string frame = make_frame(payload);
  ASSERT_EQ(frame.size(), 65533u);
  for (std::size_t cut = 1; cut < frame.size(); cut += 997) {
    EXPECT_EQ(feed(frame.substr(0, cut)), "") << cut;
    EXPECT_EQ(feed(frame.substr(cut)), payload) << cut;
    EXPECT_EQ(assembly_.dropped, 0u) << cut;
  }
}

TEST_F(FrameAssemblyTest, FramesRunTogetherAreCutApartWhereverTheReceivesEnd) {
  const std::string first = sample_payload(10);
  const std::string second = sample_payload(7);
  const std::string third = "third\n";
  const std::string stream = make_frame(first) + make_frame(second) + make_frame(third);
  EXPECT_EQ(feed(stream), first + second + third);
  EXPECT_EQ(assembly_.payloads.size(), 3u);
  for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
    EXPECT_EQ(feed_in_pieces(stream, piece), first + second + third) << piece;
  }
}

TEST_F(FrameAssemblyTest, MalformedBytesAreDroppedWhenTheNextReceiveStandsAlone) {
  // Scrambled with another key: 1 modulo 4, but the padding is wrong.
  const std::string foreign = make_frame("abcde", 0x11223344);
  EXPECT_EQ(feed(foreign), "");
  EXPECT_EQ(feed(make_frame("good\n")), "good\n");
  EXPECT_EQ(assembly_.dropped, foreign.size());
  EXPECT_EQ(assembly_.drop_reason, DropReason::kMalformed);
  // The rest of a frame whose start was lost is no frame either.
  const std::string frame = make_frame(sample_payload(40));
  EXPECT_EQ(feed(frame.substr(14)), "");
  EXPECT_EQ(feed(make_frame("after\n")), "after\n");
  EXPECT_EQ(assembly_.dropped, frame.size() - 14);
}

TEST_F(FrameAssemblyTest, ABlockThatNeverFormsAFrameIsDroppedPastTheLimit) {
  const std::string noise(4000, 'x');  // 0 modulo 4, and no trailer anywhere
  std::size_t fed = 0;
  while (assembly_.dropped == 0) {
    ASSERT_EQ(feed(noise), "");
    fed += noise.size();
    ASSERT_LE(fed, kMaxBlock + noise.size());
  }
  EXPECT_EQ(assembly_.drop_reason, DropReason::kTooLong);
  EXPECT_GT(fed, kMaxBlock);
  EXPECT_EQ(feed(make_frame("fresh\n")), "fresh\n");
}

TEST_F(FrameAssemblyTest, FramesThatAlsoReadAsOneFrameAreDroppedNotGuessed) {
  // Five unpadded frames: 25 bytes, 1 modulo 4, and the last trailer 1 makes the whole run
  // pass for one frame too.
  std::string run;
  for (const char* payload : {"aaaa", "bbbb", "cccc", "dddd", "eeee"}) run += make_frame(payload);
  EXPECT_EQ(feed(run), "");
  EXPECT_EQ(assembly_.dropped, run.size());
  EXPECT_EQ(assembly_.drop_reason, DropReason::kAmbiguous);
  EXPECT_EQ(feed(make_frame("then\n")), "then\n");
}

}  // namespace
}  // namespace vantrel::viewer
