// What a viewer that was granted the whole log asked for last: a range of lines or a search,
// worked on in slices, a few each turn, and its answers waiting to leave. Internal to
// src/service; whole_log.h does the work.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "search/matcher.h"

namespace vantrel::service {

struct WholeJob {
  enum class Kind : std::uint8_t { kNone, kLines, kFind };
  Kind kind = Kind::kNone;
  std::uint32_t id = 0;
  bool before = true;  // below the position, newest first; else from it, oldest first
  // The file as it stood when the job began: a rotation or a cut since ends it.
  std::uint32_t generation = 0;
  std::uint64_t rewinds = 0;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::int64_t low = 0;  // it covers [low, high) of the file
  std::int64_t high = 0;
  std::int64_t cursor = 0;       // looked at down to here (before) or up to here (after)
  std::uint64_t wanted = 0;      // lines, or the most matches
  std::uint64_t found = 0;       // newlines counted, or matches sent
  std::int64_t outer_line = -1;  // a range: the furthest line start seen, where the bound cuts
  // A range whose other end is found sends [send_from, send_to).
  bool sending = false;
  std::int64_t send_from = 0;
  std::int64_t send_to = 0;
  std::int64_t first = 0;  // where the range starts
  std::uint8_t edges = 0;
  // A search.
  search::Matcher matcher;
  std::vector<std::uint8_t> scan;  // the slice of the file looked at now
  std::chrono::steady_clock::time_point progress_at{};
  // Answers, each whole, in the order they go; nothing else goes to the viewer until they
  // have all left, and no more are made until then.
  std::vector<std::uint8_t> out;
  std::size_t out_sent = 0;
};

inline bool has_unsent(const WholeJob& job) { return job.out_sent < job.out.size(); }
// Some of its answers have left and the rest must follow before anything else.
inline bool is_sending(const WholeJob& job) { return job.out_sent > 0 && has_unsent(job); }

}  // namespace vantrel::service
