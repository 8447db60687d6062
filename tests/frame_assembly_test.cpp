// The viewer's frame assembly: receives in, whole payloads out, whatever the network did to
// the frames on the way.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "support/viewer.h"
#include "viewer/viewer.h"

namespace vantrel::viewer {
namespace {

using testing::make_frame;

const Key kKey = settings::key_from_number(testing::kTestKey);

// Text with zero bytes, but none of '?', '<', '=' or ':': at a group's first position those
// scramble to a trailer value under the test key and would let part of a frame pass for one.
std::string sample(std::size_t size) {
  const std::string alphabet = "abcdefghij KLMNOPQRST 0123456789\n";
  std::string text;
  for (std::size_t i = 0; i < size; ++i) {
    text += i % 97 == 13 ? '\0' : alphabet[i % alphabet.size()];
  }
  return text;
}

const std::uint8_t* bytes(const std::string& text) {
  return reinterpret_cast<const std::uint8_t*>(text.data());
}

class FrameAssemblyTest : public ::testing::Test {
 protected:
  // Feeds the stream in receives of `piece` bytes; returns the payloads, joined.
  std::string feed(const std::string& stream, std::size_t piece = kMaxBlock) {
    std::string out;
    for (std::size_t at = 0; at < stream.size(); at += piece) {
      const std::string receive = stream.substr(at, piece);
      add_receive(assembly_, bytes(receive), receive.size(), kKey);
      dropped_ += assembly_.dropped;
      for (const Payload& payload : assembly_.payloads) {
        out.append(reinterpret_cast<const char*>(&assembly_.block[payload.offset]), payload.size);
      }
    }
    return out;
  }
  // Feeds each string as one receive, in order.
  std::string feed_each(std::initializer_list<std::string> receives) {
    std::string out;
    for (const std::string& receive : receives) out += feed(receive);
    return out;
  }

  FrameAssembly assembly_;
  std::size_t dropped_ = 0;
};

TEST(FrameChecks, PayloadLengthComesFromTheTrailerAndPaddingMustUnscrambleToFF) {
  for (std::size_t size = 0; size < 9; ++size) {
    const std::string frame = make_frame(sample(size));
    EXPECT_EQ(payload_length(bytes(frame), frame.size()), static_cast<std::ptrdiff_t>(size));
    EXPECT_TRUE(is_whole_frame(bytes(frame), frame.size(), kKey)) << size;
    EXPECT_EQ(payload_length(bytes(frame), frame.size() - 1), -1);  // not 1 modulo 4
  }
  for (const char trailer : {'\x00', '\x05', '\xff'}) {
    const std::string block = make_frame("abcde").substr(0, 8) + trailer;
    EXPECT_EQ(payload_length(bytes(block), block.size()), -1) << int{trailer};
  }
  EXPECT_EQ(payload_length(bytes("\x02"), 1), -1);  // a trailer longer than the block
  std::string frame = make_frame("abcde");          // three padding bytes
  frame[6] = static_cast<char>(frame[6] ^ 1);
  EXPECT_FALSE(is_whole_frame(bytes(frame), frame.size(), kKey));
  frame = make_frame("abcde", 0x11223344);
  EXPECT_FALSE(is_whole_frame(bytes(frame), frame.size(), kKey));
}

TEST_F(FrameAssemblyTest, AFrameSplitIntoPiecesOfEverySizeComesOutWhole) {
  const std::size_t sizes[] = {5, 6, 7, 8, 301};
  for (const std::size_t size : sizes) {
    const std::string frame = make_frame(sample(size));
    for (std::size_t piece = 1; piece <= frame.size(); ++piece) {
      EXPECT_EQ(feed(frame, piece), sample(size)) << size << " in pieces of " << piece;
    }
  }
  const std::string largest = make_frame(sample(65532));  // the largest frame, 65533 bytes;
  for (std::size_t cut = 1; cut < largest.size(); cut += 997) {
    EXPECT_EQ(feed_each({largest.substr(0, cut), largest.substr(cut)}), sample(65532)) << cut;
  }
  EXPECT_EQ(dropped_, 0u);
}

TEST_F(FrameAssemblyTest, FramesRunTogetherAreCutApartWhereverTheReceivesEnd) {
  const std::string stream = make_frame(sample(10)) + make_frame(sample(7)) + make_frame("end\n");
  EXPECT_EQ(feed(stream), sample(10) + sample(7) + "end\n");
  EXPECT_EQ(assembly_.payloads.size(), 3u);
  for (std::size_t piece = 1; piece <= stream.size(); ++piece) {
    EXPECT_EQ(feed(stream, piece), sample(10) + sample(7) + "end\n") << piece;
  }
  EXPECT_EQ(dropped_, 0u);
}

TEST_F(FrameAssemblyTest, BytesThatFormNoFrameAreDroppedOnceTheNextReceiveStandsAlone) {
  const std::string foreign = make_frame("abcde", 0x11223344);  // another key's padding
  EXPECT_EQ(feed_each({foreign, make_frame("good\n")}), "good\n");
  EXPECT_EQ(dropped_, foreign.size());
  EXPECT_EQ(assembly_.drop_reason, DropReason::kMalformed);
  const std::string rest = make_frame(sample(40)).substr(14);  // its start was lost
  EXPECT_EQ(feed_each({rest, make_frame("after\n")}), "after\n");
  EXPECT_EQ(dropped_, foreign.size() + rest.size());
}

TEST_F(FrameAssemblyTest, ABlockThatNeverFormsAFrameIsDroppedPastTheLimit) {
  const std::string noise(4000, 'x');  // 0 modulo 4, and no trailer value anywhere
  while (dropped_ == 0 && assembly_.block.size() <= kMaxBlock) EXPECT_EQ(feed(noise), "");
  EXPECT_EQ(assembly_.drop_reason, DropReason::kTooLong);
  EXPECT_GT(dropped_, kMaxBlock);
  EXPECT_EQ(feed(make_frame("fresh\n")), "fresh\n");
}

TEST_F(FrameAssemblyTest, FramesThatAlsoReadAsOneFrameAreDroppedNotGuessed) {
  // Five unpadded frames: 25 bytes whose last trailer, 1, also makes them one frame.
  std::string run;
  for (const char* payload : {"aaaa", "bbbb", "cccc", "dddd", "eeee"}) run += make_frame(payload);
  EXPECT_EQ(feed(run), "");
  EXPECT_EQ(dropped_, run.size());
  EXPECT_EQ(assembly_.drop_reason, DropReason::kAmbiguous);
  EXPECT_EQ(feed(make_frame("then\n")), "then\n");
}

}  // namespace
}  // namespace vantrel::viewer
