// The viewer's frame assembly: receives in, whole payloads out, whatever the network did to
// the frames on the way.
#include "follow/frame_assembly.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "follow/length_reader.h"
#include "support/log_stream.h"
#include "support/viewer.h"

namespace vantrel::follow {
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

// Feeds receives to an assembly, with a quiet moment where asked and at the end, and collects
// what it writes.
class Feeder {
 public:
  explicit Feeder(std::uint32_t key) { assembly_.key = settings::key_from_number(key); }
  void receive(const std::string& bytes_in) {
    add_receive(assembly_, bytes(bytes_in), bytes_in.size());
    collect();
  }
  void quiet() {
    take_quiet(assembly_);
    collect();
  }
  std::string feed_each(std::initializer_list<std::string> receives) {
    for (const std::string& one : receives) receive(one);
    quiet();
    return out_;
  }
  const std::string& out() const { return out_; }
  std::size_t dropped() const { return dropped_; }
  std::size_t held() const { return unwritten_bytes(assembly_); }

 private:
  void collect() {
    dropped_ += assembly_.dropped;
    for (const Payload& payload : assembly_.payloads) {
      out_.append(reinterpret_cast<const char*>(assembly_.output.data() + payload.offset),
                  payload.size);
    }
  }
  FrameAssembly assembly_;
  std::string out_;
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

TEST(FrameAssemblyProperty, WritesExactlyThePayloadsHoweverTheStreamIsCut) {
  for (unsigned seed = 1; seed <= 3000; ++seed) {
    std::mt19937 random(seed);
    const testing::LogStream log = testing::make_log_stream(random);
    Feeder feeder(log.key);
    for (std::size_t at = 0; at < log.bytes.size();) {
      const std::size_t piece = random() % 3 == 0 ? 1 + random() % 8 : 1 + random() % 70000;
      feeder.receive(log.bytes.substr(at, piece));
      at += piece;
      if (random() % 4 == 0) feeder.quiet();
    }
    feeder.quiet();
    const std::size_t wrong =
        static_cast<std::size_t>(std::mismatch(log.payloads.begin(), log.payloads.end(),
                                               feeder.out().begin(), feeder.out().end())
                                     .first -
                                 log.payloads.begin());
    ASSERT_TRUE(feeder.out() == log.payloads) << "seed " << seed << ", key " << std::hex << log.key
                                              << ", first wrong byte " << std::dec << wrong;
    ASSERT_EQ(feeder.dropped(), 0u) << "seed " << seed;
    ASSERT_EQ(feeder.held(), 0u) << "seed " << seed;
  }
}

TEST(FrameAssemblyProperty, AFrameFollowedByAQuietMomentIsWrittenExactlyWhateverItsBytes) {
  for (unsigned seed = 1; seed <= 500; ++seed) {
    std::mt19937 random(seed);
    const std::uint32_t key = testing::some_key(random);
    Feeder feeder(key);
    std::string payloads;
    for (int frame = 0; frame < 4; ++frame) {
      std::string payload(1 + (random() % 4 == 0 ? random() % 65531 : random() % 300), '\0');
      for (char& byte : payload) byte = static_cast<char>(random());
      payloads += payload;
      const std::string bytes_of_frame = make_frame(payload, key);
      for (std::size_t at = 0; at < bytes_of_frame.size();) {
        const std::size_t piece = random() % 3 == 0 ? 1 + random() % 8 : 1 + random() % 9000;
        feeder.receive(bytes_of_frame.substr(at, piece));
        at += piece;
      }
      feeder.quiet();
      ASSERT_EQ(feeder.held(), 0u) << "seed " << seed << ", frame " << frame;
    }
    ASSERT_TRUE(feeder.out() == payloads) << "seed " << seed << ", key " << std::hex << key;
  }
}

TEST(FrameAssembly, TheCasesThatFooledTheOldAssemblyComeOutExactly) {
  // Under a printable key, ordinary letters unscramble to trailer bytes.
  const std::string letters = "abcd@efghCijklBmnopEqrstuvwxyz";
  EXPECT_EQ(Feeder(0x41424344).feed_each({make_frame(letters, 0x41424344)}), letters);
  // The first five bytes of this frame are a whole frame of "What" too.
  const std::string full = make_frame("What? disk is full");
  EXPECT_EQ(Feeder(testing::kTestKey).feed_each({full.substr(0, 5), full.substr(5)}),
            "What? disk is full");
  // Five unpadded frames read as one frame as well.
  std::string run;
  for (const char* payload : {"aaaa", "bbbb", "cccc", "dddd", "eeee"}) run += make_frame(payload);
  EXPECT_EQ(Feeder(testing::kTestKey).feed_each({run}), "aaaabbbbccccddddeeee");
}

TEST(FrameAssembly, AQuietMomentWritesAWholeFrameAndLaterBytesMendAFalseCut) {
  Feeder feeder(testing::kTestKey);
  const std::string full = make_frame("What? disk is full");
  feeder.receive(full.substr(0, 5));
  EXPECT_EQ(feeder.out(), "");  // held: it may be the start of a longer frame
  feeder.quiet();
  EXPECT_EQ(feeder.out(), "What");
  feeder.receive(full.substr(5));
  feeder.receive(make_frame("next\n"));
  feeder.quiet();
  EXPECT_EQ(feeder.out(),
            "What? disk is full"
            "next\n");
}

TEST(FrameAssembly, BytesThatNeverFormAFrameAreDroppedAndReadingStartsAfresh) {
  Feeder feeder(testing::kTestKey);
  const std::string noise(4000, 'x');  // no trailer value anywhere
  for (int i = 0; i < 40 && feeder.dropped() == 0; ++i) feeder.receive(noise);
  EXPECT_GT(feeder.dropped(), 2 * kMaxBlock);
  EXPECT_EQ(feeder.feed_each({make_frame("fresh\n")}), "fresh\n");
}

TEST(FrameAssembly, TextIsPrintableUtf8OrEightBitAndNoOtherControls) {
  for (const char* text : {"plain\tline\r\n", "\x1b[31mred\x1b[0m", "caf\xc3\xa9", "caf\xe9 \xff",
                           "\xa9 cut before", "cut after \xe2\x9c"}) {
    EXPECT_TRUE(reads_as_text(bytes(text), std::strlen(text))) << text;
  }
  for (const char* text : {"a\x01"
                           "b",
                           "\x7f", "\xc3(\x85", "a\x85\x90"}) {
    EXPECT_FALSE(reads_as_text(bytes(text), std::strlen(text))) << text;
  }
  EXPECT_FALSE(reads_as_text(bytes(std::string("a\0b", 3)), 3));
}

}  // namespace
}  // namespace vantrel::follow
