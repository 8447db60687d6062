// Positions: tokens, notices and resume fields read back what was written, a field that is none
// of the three forms is refused, and the position a viewer resumes at checks exactly the bytes
// it wrote last, however they came.
#include "codec/position.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "follow/place.h"

namespace vantrel::codec {
namespace {

Position random_position(std::mt19937_64& random) {
  return {random(), random(), random(), static_cast<std::uint8_t>(random() % (kCheckBytes + 1)),
          random() & ((std::uint64_t{1} << 56) - 1)};
}

TEST(Position, NoticesAndResumeFieldsReadBackWhatWasWritten) {
  std::mt19937_64 random(22);
  for (int round = 0; round < 2000; ++round) {
    const Notice notice{static_cast<NoticeKind>(1 + random() % 8), random(),
                        random_position(random)};
    std::uint8_t bytes[kNoticeBytes];
    write_notice(bytes, notice);
    const auto read = read_notice(bytes + 4);
    ASSERT_TRUE(read);
    EXPECT_EQ(read->kind, notice.kind);
    EXPECT_EQ(read->skipped, notice.skipped);
    EXPECT_EQ(read->position, notice.position);

    ResumeRequest request;
    request.kind = static_cast<ResumeRequest::Kind>(random() % 3);
    request.lines = random();
    request.at = notice.position;
    const auto parsed = parse_resume_field(resume_field(request));
    ASSERT_TRUE(parsed) << resume_field(request);
    EXPECT_EQ(parsed->kind, request.kind);
    if (request.kind == ResumeRequest::Kind::kLines) {
      EXPECT_EQ(parsed->lines, request.lines);
    }
    if (request.kind == ResumeRequest::Kind::kAt) {
      EXPECT_EQ(parsed->at, request.at);
    }
  }
}

TEST(Position, WhatIsNoneOfTheFormsIsRefused) {
  const std::string token(2 * kTokenBytes, 'a');
  for (const std::string& field :
       std::vector<std::string>{"", "old", "new ", "lines", "lines ", "lines -1", "lines 1x",
                                "lines 99999999999999999999", "at " + token.substr(1),
                                "at " + token + "0", "at " + std::string(63, 'a') + "G",
                                // a check over more bytes than a token may name
                                "at " + std::string(48, '0') + "41" + std::string(14, '0')}) {
    EXPECT_FALSE(parse_resume_field(field)) << field;
  }
  std::uint8_t bad_kind[kNoticeBytes - 4] = {9};
  EXPECT_FALSE(read_notice(bad_kind));
}

TEST(StreamPlace, AResumeChecksTheLastBytesWrittenHoweverTheyCame) {
  std::mt19937_64 random(23);
  for (int round = 0; round < 500; ++round) {
    const Position base = random_position(random);
    follow::StreamPlace place{true, base, 0, {}};
    std::string written;
    for (auto piece = random() % 6; piece > 0; --piece) {
      std::string bytes(random() % 100, '\0');
      for (char& byte : bytes) byte = static_cast<char>(random());
      follow::advance(place, bytes);
      written += bytes;
    }
    const Position resume = follow::resume_position(place);
    if (written.empty()) {
      EXPECT_EQ(resume, base);
      continue;
    }
    const std::string checked =
        written.substr(written.size() - std::min(written.size(), kCheckBytes));
    EXPECT_EQ(resume.offset, base.offset + written.size());
    EXPECT_EQ(resume.check_length, checked.size());
    EXPECT_EQ(resume.check,
              check_of(reinterpret_cast<const std::uint8_t*>(checked.data()), checked.size()));
  }
}

}  // namespace
}  // namespace vantrel::codec
