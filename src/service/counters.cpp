#include "service/counters.h"

#include <algorithm>
#include <chrono>

#include "service/connection.h"
#include "service/resume.h"
#include "service/service_state.h"
#include "service/whole_log.h"

namespace vantrel::service {

namespace {

struct ViewerCounts {
  std::uint64_t all = 0;
  std::uint64_t tls = 0;
  std::uint64_t logged_in = 0;
  std::uint64_t lengths = 0;
  std::uint64_t positions = 0;
  std::uint64_t whole = 0;
  std::uint64_t handshaking = 0;
  std::int64_t slowest_lag = 0;
};

// How far the viewer stands behind the file's end as it is now, in bytes.
std::int64_t lag_of(const ServiceState& state, const Viewer& viewer, std::int64_t end) {
  if (is_current(state, viewer.generation)) return std::max<std::int64_t>(end - viewer.position, 0);
  return std::max<std::int64_t>(state.previous.end - viewer.position, 0) + end;
}

std::uint64_t one_if(bool yes) { return yes ? 1 : 0; }

ViewerCounts count_viewers(const ServiceState& state) {
  ViewerCounts counts;
  const std::int64_t end = current_end(state);
  for (const Viewer& viewer : state.viewers) {
    if (is_handshaking(viewer)) ++counts.handshaking;
    if (!is_admitted(viewer)) continue;
    ++counts.all;
    counts.tls += one_if(is_tls(viewer.connection));
    counts.logged_in += one_if(viewer.phase == Viewer::Phase::kLoggedIn);
    counts.lengths += one_if(viewer.framed);
    counts.positions += one_if(viewer.positions);
    counts.whole += one_if(viewer.whole);
    counts.slowest_lag = std::max(counts.slowest_lag, lag_of(state, viewer, end));
  }
  return counts;
}

void add_line(std::string& text, const char* name, std::uint64_t value) {
  text += name;
  text += ' ';
  text += std::to_string(value);
  text += '\n';
}

std::uint64_t unsigned_of(std::int64_t value) {
  return static_cast<std::uint64_t>(std::max<std::int64_t>(value, 0));
}

}  // namespace

void count_admitted(ServiceState& state) {
  const auto now = static_cast<std::uint64_t>(std::ranges::count_if(state.viewers, is_admitted));
  state.counters.most_viewers = std::max(state.counters.most_viewers, now);
}

std::string counters_text(const ServiceState& state) {
  const Counters& c = state.counters;
  const ViewerCounts viewers = count_viewers(state);
  const auto uptime =
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - c.started).count();
  std::string text;
  add_line(text, "uptime_seconds", unsigned_of(uptime));
  add_line(text, "viewers", viewers.all);
  add_line(text, "viewers_plain", viewers.all - viewers.tls);
  add_line(text, "viewers_tls", viewers.tls);
  add_line(text, "viewers_logged_in", viewers.logged_in);
  add_line(text, "viewers_with_lengths", viewers.lengths);
  add_line(text, "viewers_with_positions", viewers.positions);
  add_line(text, "viewers_with_whole_log", viewers.whole);
  add_line(text, "viewers_handshaking", viewers.handshaking);
  add_line(text, "viewers_most", c.most_viewers);
  add_line(text, "connections_accepted", c.accepted);
  add_line(text, "connections_refused_too_many", c.refused_too_many);
  add_line(text, "connections_refused_handshake", c.refused_handshake);
  add_line(text, "connections_refused_password", c.refused_password);
  add_line(text, "log_read_bytes", c.log_read_bytes);
  add_line(text, "sent_bytes", c.sent_bytes);
  add_line(text, "sent_frames", c.sent_frames);
  add_line(text, "log_device", state.log.device);
  add_line(text, "log_inode", state.log.inode);
  add_line(text, "log_size_bytes", unsigned_of(current_end(state)));
  add_line(text, "log_sent_offset_bytes", unsigned_of(state.log.end));
  add_line(text, "log_rotations", state.generation);
  add_line(text, "log_truncations", c.truncations);
  add_line(text, "log_rewrites", c.rewrites);
  add_line(text, "slowest_viewer_lag_bytes", unsigned_of(viewers.slowest_lag));
  add_line(text, "viewers_dropped_for_lag", c.dropped_for_lag);
  add_line(text, "resumes_exact", c.resumes_exact);
  add_line(text, "resumes_with_gap", c.resumes_gap);
  add_line(text, "resumes_refused", c.resumes_refused);
  add_line(text, "ranges", c.ranges);
  add_line(text, "searches", c.searches);
  add_line(text, "searches_running", static_cast<std::uint64_t>(running_searches(state)));
  add_line(text, "searches_refused_busy", c.searches_busy);
  return text;
}

}  // namespace vantrel::service
