// Several sources in one output: whatever cuts the receives make and however the sources
// interleave, every byte of every source comes out exactly once, in whole lines behind its
// name, and a line waits for its end until kPartialLineWait has passed.
#include "terminal/merged_output.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace vantrel::terminal {
namespace {

using Clock = std::chrono::steady_clock;

TEST(MergedOutput, EveryByteOfEverySourceComesOutOnceInWholeLinesBehindItsName) {
  const std::vector<std::string> names = {"a", "beta", "gamma-long"};
  for (unsigned seed = 0; seed < 300; ++seed) {
    std::mt19937 random(seed);
    std::vector<std::string> sent(names.size());
    std::vector<follow::LineSplitter> splitters(names.size());
    std::vector<std::string> prefixes;
    for (std::size_t i = 0; i < names.size(); ++i) {
      prefixes.push_back(line_prefix(names[i], 10, i, seed % 2 == 0));
    }
    std::string out;
    Clock::time_point now{};
    const auto take_into = [&](std::size_t source) {
      return [&, source](std::string_view line, Clock::time_point) {
        out += prefixes[source];
        out += line;
        out += '\n';
      };
    };
    for (int round = 0; round < 60; ++round) {
      const std::size_t source = random() % names.size();
      std::string chunk(random() % 30, '\0');
      for (char& c : chunk) c = "xy \n\x1b\xc3"[random() % 6];  // newlines and any other bytes
      sent[source] += chunk;
      now += std::chrono::milliseconds(random() % 1500);
      follow::split_lines(splitters[source], chunk, now, take_into(source));
      for (std::size_t i = 0; i < names.size(); ++i) {
        follow::take_waiting_line(splitters[i], now, take_into(i));
      }
    }
    now += follow::kPartialLineWait;
    for (std::size_t i = 0; i < names.size(); ++i)
      follow::take_waiting_line(splitters[i], now, take_into(i));

    // Take the output apart again: each line must start with a source's name.
    std::vector<std::string> received(names.size());
    std::size_t at = 0;
    while (at < out.size()) {
      const std::size_t end = out.find('\n', at);
      ASSERT_NE(end, std::string::npos) << "seed " << seed << ": output ends in a partial line";
      const std::string line = out.substr(at, end + 1 - at);
      std::size_t source = 0;
      while (source < names.size() && !line.starts_with(prefixes[source])) ++source;
      ASSERT_LT(source, names.size()) << "seed " << seed << ": a line without a name: " << line;
      received[source] += line.substr(prefixes[source].size());
      at = end + 1;
    }
    // Each source's bytes in order, each once; only newlines may have been added (after a
    // partial line's wait) and every source's output ends a line.
    for (std::size_t i = 0; i < names.size(); ++i) {
      std::size_t matched = 0;
      for (const char c : received[i]) {
        if (matched < sent[i].size() && sent[i][matched] == c) {
          ++matched;
        } else {
          ASSERT_EQ(c, '\n') << "seed " << seed << ": a byte out of place in " << names[i];
        }
      }
      EXPECT_EQ(matched, sent[i].size()) << "seed " << seed << ": bytes lost from " << names[i];
    }
  }
}

TEST(MergedOutput, ALineWaitsForItsEndUntilTheWaitHasPassed) {
  follow::LineSplitter splitter;
  std::vector<std::string> lines;
  const auto take = [&](std::string_view line, Clock::time_point) { lines.emplace_back(line); };
  const Clock::time_point start{};
  follow::split_lines(splitter, "one\ntw", start, take);
  follow::take_waiting_line(splitter,
                            start + follow::kPartialLineWait - std::chrono::milliseconds(1), take);
  follow::split_lines(splitter, "o\nthr", start + std::chrono::seconds(1), take);
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two"}));
  follow::take_waiting_line(splitter, start + std::chrono::seconds(1) + follow::kPartialLineWait,
                            take);
  EXPECT_EQ(lines, (std::vector<std::string>{"one", "two", "thr"}));
  EXPECT_EQ(line_prefix("ab", 4, 0, false), "ab   | ");
  EXPECT_EQ(line_prefix("ab", 4, 1, true), "\x1b[32mab  \x1b[0m | ");
}

}  // namespace
}  // namespace vantrel::terminal
