// The page's /metrics, in Prometheus's text format: the relay's own counters and each daemon's,
// as the daemon gives them ("name value" lines), renamed with the prefix vantrel_, base units
// and _total for what only grows. Internal to src/web.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::web {

// What the relay counts, on the server's thread.
struct RelayCounters {
  std::uint64_t browsers_total = 0;  // event streams opened
  std::uint64_t events_sent = 0;
  std::uint64_t bytes_sent = 0;            // of event streams
  std::uint64_t refused_unauthorized = 0;  // 401
  std::uint64_t refused_throttled = 0;     // 429
  std::uint64_t refused_busy = 0;          // 503
};

struct SourceMetrics {
  std::string name;                     // the label
  std::optional<std::string> counters;  // the daemon's, or none where it could not give them
  std::size_t ring_bytes = 0;
  std::size_t ring_capacity = 0;
};

// The whole answer's body.
std::string metrics_text(const RelayCounters& relay, std::size_t browsers_now,
                         const std::vector<SourceMetrics>& sources);

// The events in a piece of an event stream: each ends with an empty line.
std::uint64_t events_in(const std::string& text);

}  // namespace vantrel::web
