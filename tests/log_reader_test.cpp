// The log growth reader against real files: growth, truncation, the one-frame cap, big files.
#include "service/log_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "codec/frame.h"
#include "service/service_state.h"
#include "service/viewer.h"
#include "settings/settings.h"
#include "support/process.h"

namespace vantrel::service {
namespace {

using vantrel::testing::append_file;
using vantrel::testing::TempDir;
using vantrel::testing::write_file;

constexpr char kTruncated[] = "vantrel: Log file truncated! Will send next update.\n";
constexpr std::int64_t kMaxPayload = static_cast<std::int64_t>(codec::kMaxPayload);

std::string short_read_message(std::int64_t growth) {
  return "vantrel: log size diff == " + std::to_string(growth) + " but read " +
         std::to_string(kMaxPayload) + " bytes. Continuing...\n";
}

std::string pattern(std::size_t length) {
  std::string text(length, '\0');
  for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<char>('!' + i % 90);
  return text;
}

class LogReader : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.logfile = path_;
    settings_.key = settings::key_from_number(0x3e07b1d4);
    ASSERT_TRUE(allocate_transfer_buffer(state_));
  }

  // One poll; keeps the frame length it returned and what it printed.
  int poll() {
    ::testing::internal::CaptureStdout();
    frame_length_ = poll_log(state_, settings_);
    out_ = ::testing::internal::GetCapturedStdout();
    return frame_length_;
  }

  // The payload of the frame the last poll left in the transfer buffer, "" when it left none.
  std::string sent() {
    if (frame_length_ <= 0) return "";
    std::uint8_t* buffer = state_.buffer.get();
    const std::size_t end =
        codec::decode_frame(buffer, static_cast<std::size_t>(frame_length_), settings_.key);
    return std::string(reinterpret_cast<const char*>(buffer), end);
  }

  TempDir dir_;
  const std::string path_ = dir_.file("qconsole.log");
  Settings settings_;
  ServiceState state_;
  // The kept descriptor is the daemon's to leave to its end; a test closes it.
  struct CloseKept {
    ServiceState& state;
    ~CloseKept() {
      if (state.log.descriptor >= 0) close(state.log.descriptor);
    }
  } close_kept_{state_};
  int frame_length_ = 0;
  std::string out_;
};

TEST_F(LogReader, FirstPollTakesTheContentThenEachGrowthIsOneFrame) {
  write_file(path_, "before start\n");
  EXPECT_EQ(poll(), 17);
  EXPECT_EQ(sent(), "before start\n");
  EXPECT_EQ(state_.log.end, 13);

  EXPECT_EQ(poll(), 0);
  EXPECT_EQ(state_.log.end, 13);

  const std::string line = pattern(100);
  append_file(path_, line);
  EXPECT_EQ(poll(), 101);
  EXPECT_EQ(sent(), line);
  EXPECT_EQ(state_.log.end, 113);
  EXPECT_EQ(out_, "");
}

TEST_F(LogReader, TruncationIsReportedOnceAndTheFileSentAgainFromItsStart) {
  write_file(path_, pattern(50));
  poll();
  ASSERT_EQ(truncate(path_.c_str(), 49), 0);
  EXPECT_EQ(poll(), 49 + 3 + 1);
  EXPECT_EQ(out_, kTruncated);
  EXPECT_EQ(sent(), pattern(49));
  EXPECT_EQ(state_.log.end, 49);
  EXPECT_EQ(poll(), 0);
  EXPECT_EQ(out_, "");

  append_file(path_, "after the cut\n");
  poll();
  EXPECT_EQ(sent(), "after the cut\n");
  EXPECT_EQ(out_, "");
}

// By its size, a file cut back and grown past the sent offset between two looks only grew:
// viewers go on from there. A viewer with positions, which must never be sent the middle of
// another content unawares, starts again from the start and is told.
TEST_F(LogReader, ShrinkingThenGrowingPastTheOldSizeIsNotTruncationButViewersWithPositionsAreTold) {
  write_file(path_, "0123456789");
  poll();
  constexpr int kSlot = 40;  // a viewer with positions, at the sent offset
  admit_viewer(state_, settings_, kSlot);
  Viewer& viewer = state_.viewers[kSlot];
  viewer.positions = true;
  viewer.position = 10;
  append_file(path_, "more");
  poll();
  EXPECT_EQ(sent(), "more");
  EXPECT_EQ(viewer.position, 10);  // nothing rewritten: it goes on
  EXPECT_FALSE(viewer.notice_pending);
  write_file(path_, "abcdefghijklmnopq");
  poll();
  EXPECT_EQ(sent(), "opq");
  EXPECT_EQ(out_, "vantrel: Log file rewritten! Viewers with positions get it from its start.\n");
  EXPECT_EQ(viewer.position, 0);
  EXPECT_TRUE(viewer.notice_pending);
  EXPECT_EQ(viewer.notice_kind, codec::NoticeKind::kTruncated);
  viewer.phase = Viewer::Phase::kFree;
}

// Growth that piled up while nobody watched: the newest viewer is not flooded with it.
TEST_F(LogReader, GrowthBeyondOneFrameSendsTheFirstBytesAndSkipsTheRest) {
  write_file(path_, "x");
  poll();
  const std::string growth = pattern(codec::kMaxPayload + 1);
  append_file(path_, growth);
  EXPECT_EQ(poll(), kMaxPayload + 1);
  EXPECT_EQ(out_, short_read_message(kMaxPayload + 1));
  EXPECT_EQ(sent(), growth.substr(0, codec::kMaxPayload));
  EXPECT_EQ(state_.log.end, 1 + kMaxPayload + 1);
  EXPECT_EQ(poll(), 0);

  // Exactly one frame's worth is no short read.
  append_file(path_, pattern(codec::kMaxPayload));
  EXPECT_EQ(poll(), kMaxPayload + 1);
  EXPECT_EQ(out_, "");
}

TEST_F(LogReader, LiveGrowthBeyondOneFrameIsDeliveredWholeOverSeveralPolls) {
  write_file(path_, "x");
  admit_viewer(state_, settings_, 40);
  poll();  // the poll that had a viewer: growth from here on is live
  const std::string growth = pattern(2 * codec::kMaxPayload + 10);
  append_file(path_, growth);
  std::string delivered;
  for (const bool more : {true, true, false}) {
    EXPECT_GT(poll(), 0);
    EXPECT_EQ(state_.behind, more);
    EXPECT_EQ(out_, "");
    delivered += sent();
  }
  EXPECT_EQ(delivered, growth);
  EXPECT_EQ(poll(), 0);

  // Too far behind the writer: one frame, the short-read message and a jump to stay live.
  const std::int64_t size = 1 + static_cast<std::int64_t>(growth.size());
  ASSERT_EQ(truncate(path_.c_str(), size + kMostBehind + 1), 0);
  EXPECT_EQ(poll(), kMaxPayload + 1);
  EXPECT_EQ(out_, short_read_message(kMostBehind + 1));
  EXPECT_EQ(state_.log.end, size + kMostBehind + 1);
  EXPECT_FALSE(state_.behind);
}

TEST_F(LogReader, RotationSendsTheOldFilesLastBytesThenTheNewFileFromItsStart) {
  write_file(path_, "old start\n");
  poll();
  const std::string moved = dir_.file("qconsole.log.1");
  ASSERT_EQ(rename(path_.c_str(), moved.c_str()), 0);
  append_file(moved, "old end\n");
  EXPECT_GT(poll(), 0);  // the name is missing for a moment: not yet fatal
  EXPECT_EQ(sent(), "old end\n");
  write_file(path_, "new start\n");
  EXPECT_GT(poll(), 0);
  EXPECT_EQ(out_, "vantrel: Log file replaced! Will send the new one from its start.\n");
  EXPECT_EQ(sent(), "new start\n");
  EXPECT_EQ(state_.log.end, 10);

  // Replaced in one step, the old file having grown just before.
  append_file(path_, "last\n");
  ASSERT_EQ(rename(path_.c_str(), moved.c_str()), 0);
  write_file(path_, "newest\n");
  EXPECT_GT(poll(), 0);
  EXPECT_EQ(sent(), "last\n");
  EXPECT_GT(poll(), 0);
  EXPECT_EQ(sent(), "newest\n");
}

TEST_F(LogReader, SparseFileBeyondFourGibibytesWorksLikeASmallOne) {
  constexpr std::int64_t kFourGiB = std::int64_t{1} << 32;
  write_file(path_, "");
  ASSERT_EQ(truncate(path_.c_str(), kFourGiB), 0);
  append_file(path_, "tail");
  EXPECT_EQ(poll(), kMaxPayload + 1);
  EXPECT_EQ(out_, short_read_message(kFourGiB + 4));
  EXPECT_EQ(sent(), std::string(codec::kMaxPayload, '\0'));  // the hole reads as zeros
  EXPECT_EQ(state_.log.end, kFourGiB + 4);

  append_file(path_, "more\n");
  poll();
  EXPECT_EQ(sent(), "more\n");
  EXPECT_EQ(out_, "");
  EXPECT_EQ(state_.log.end, kFourGiB + 9);
}

TEST_F(LogReader, AFileMissingForTwoSecondsIsFatal) {
  write_file(path_, "line\n");
  poll();
  ASSERT_EQ(unlink(path_.c_str()), 0);
  EXPECT_EQ(poll(), 0);
  ASSERT_TRUE(state_.missing_since);
  state_.missing_since = *state_.missing_since - kMissingLimit;
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(poll(), -1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "vantrel: Error stat'ing log file: No such file or directory\n");
}

TEST_F(LogReader, EmptyReadAfterACutIsTruncationNotFailure) {
  // The writer cuts the file between the status query, which saw 10 more bytes, and the read.
  for (const off_t cut : {off_t{30}, off_t{12}}) {
    SCOPED_TRACE(cut);
    write_file(path_, pattern(30));
    poll();
    ASSERT_EQ(truncate(path_.c_str(), cut), 0);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(read_growth(state_, settings_, 10, 40), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), kTruncated);
    EXPECT_EQ(state_.log.end, 0);
    EXPECT_TRUE(state_.behind);
  }
}

}  // namespace
}  // namespace vantrel::service
