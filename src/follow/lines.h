// A stream cut into whole lines, for outputs that put several sources together: a line begun
// in one receive waits for the rest of it; one that waits kPartialLineWait is written as it
// is, with a newline added.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <type_traits>

namespace vantrel::follow {

inline constexpr std::chrono::seconds kPartialLineWait{2};
// A line longer than this is written as it is, without waiting for its end: a stream without
// newlines must not hold memory without bound.
inline constexpr std::size_t kLongestLine = std::size_t{256} << 10;

// One source's unfinished line.
struct LineSplitter {
  std::string partial;
  std::chrono::steady_clock::time_point since;  // when its first byte came
};

// Calls take(line, since), or take(line, since, ended) where `take` wants to know whether the
// line ended with its own newline rather than being written as it was.
template <typename Take>
void take_line(Take& take, std::string_view line, std::chrono::steady_clock::time_point since,
               bool ended) {
  if constexpr (std::is_invocable_v<Take&, std::string_view, std::chrono::steady_clock::time_point,
                                    bool>) {
    take(line, since, ended);
  } else {
    take(line, since);
  }
}

// Calls take(line, since) for each line that `data` completes, without its newline, with the
// time its first byte came, and keeps the rest for the next call.
template <typename Take>
void split_lines(LineSplitter& splitter, std::string_view data,
                 std::chrono::steady_clock::time_point now, Take take) {
  while (!data.empty()) {
    const std::size_t end = data.find('\n');
    if (end == std::string_view::npos) {
      if (splitter.partial.empty()) splitter.since = now;
      splitter.partial.append(data);
      if (splitter.partial.size() >= kLongestLine) {
        take_line(take, std::string_view(splitter.partial), splitter.since, false);
        splitter.partial.clear();
      }
      return;
    }
    if (splitter.partial.empty()) {
      take_line(take, data.substr(0, end), now, true);
    } else {
      splitter.partial.append(data.substr(0, end));
      take_line(take, std::string_view(splitter.partial), splitter.since, true);
      splitter.partial.clear();
    }
    data.remove_prefix(end + 1);
  }
}

// Calls take(line, since) for the unfinished line once it has waited kPartialLineWait by `now`.
template <typename Take>
void take_waiting_line(LineSplitter& splitter, std::chrono::steady_clock::time_point now,
                       Take take) {
  if (splitter.partial.empty() || now < splitter.since + kPartialLineWait) return;
  take_line(take, std::string_view(splitter.partial), splitter.since, false);
  splitter.partial.clear();
}

}  // namespace vantrel::follow
