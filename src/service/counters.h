// What the daemon counts as it runs, for an operator: connections, logins, bytes, the file's
// changes, resumes, lagging viewers and searches. Each is one addition where the event already
// happens; what can be read off the state (viewers now, the file, the slowest viewer's lag) is
// read off it only when asked.
#pragma once

#include <cstdint>
#include <string>

#include "service/viewer.h"

namespace vantrel::service {

struct ServiceState;

struct Counters {
  Clock::time_point started = Clock::now();
  std::uint64_t most_viewers = 0;
  std::uint64_t accepted = 0;  // connections taken from either listener
  std::uint64_t refused_too_many = 0;
  std::uint64_t refused_handshake = 0;
  std::uint64_t refused_password = 0;
  std::uint64_t log_read_bytes = 0;  // bytes taken from the log as it grew
  std::uint64_t sent_bytes = 0;      // wire bytes to viewers: frames, answers, notices
  std::uint64_t sent_frames = 0;     // frames of the log
  std::uint64_t truncations = 0;
  std::uint64_t rewrites = 0;
  std::uint64_t dropped_for_lag = 0;
  std::uint64_t resumes_exact = 0;
  std::uint64_t resumes_gap = 0;      // resumed past the resume bound: told what was skipped
  std::uint64_t resumes_refused = 0;  // a position the daemon could not resume at
  std::uint64_t ranges = 0;
  std::uint64_t searches = 0;
  std::uint64_t searches_busy = 0;
};

// Notes the viewers admitted now against the most at once.
void count_admitted(ServiceState& state);

// The counters as "name value" lines, each ended by a newline.
std::string counters_text(const ServiceState& state);

}  // namespace vantrel::service
