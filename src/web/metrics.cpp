#include "web/metrics.h"

#include <charconv>
#include <map>
#include <string_view>

namespace vantrel::web {

namespace {

// One sample of a family: its labels, already written, and its value.
struct Family {
  const char* type;
  const char* help;
  std::vector<std::string> samples;
};

// Families in the order they were first named, each with every source's samples together, as
// the format wants them.
class Exposition {
 public:
  void add(const std::string& name, const char* type, const char* help, const std::string& labels,
           std::uint64_t value) {
    auto [entry, added] = families_.try_emplace(name, Family{type, help, {}});
    if (added) order_.push_back(name);
    entry->second.samples.push_back(name + (labels.empty() ? "" : "{" + labels + "}") + " " +
                                    std::to_string(value) + "\n");
  }

  std::string text() const {
    std::string out;
    for (const std::string& name : order_) {
      const Family& family = families_.at(name);
      out.append("# HELP ").append(name).append(" ").append(family.help);
      out.append("\n# TYPE ").append(name).append(" ").append(family.type).append("\n");
      for (const std::string& sample : family.samples) out += sample;
    }
    return out;
  }

 private:
  std::map<std::string, Family> families_;
  std::vector<std::string> order_;
};

// A daemon's name for a counter, and what it becomes; an extra label tells apart what one
// family holds.
struct Renaming {
  std::string_view daemon;
  const char* name;
  const char* type;
  const char* help;
  const char* label = "";
};

constexpr const char* kGauge = "gauge";
constexpr const char* kCounter = "counter";
// The families that hold several of the daemon's counters, told apart by a label.
constexpr const char* kRefusedHelp = "Connections refused, by reason.";
constexpr const char* kChangesHelp = "Changes of the followed file, by kind.";
constexpr const char* kResumesHelp = "Resumes at a position, by result.";

constexpr Renaming kRenamings[] = {
    {"uptime_seconds", "vantrel_daemon_uptime_seconds", kGauge, "Seconds since the daemon began."},
    {"viewers", "vantrel_daemon_viewers", kGauge, "Viewers connected now."},
    {"viewers_plain", "vantrel_daemon_viewers_plain", kGauge,
     "Viewers connected over plain TCP now."},
    {"viewers_tls", "vantrel_daemon_viewers_tls", kGauge, "Viewers connected over TLS now."},
    {"viewers_logged_in", "vantrel_daemon_viewers_logged_in", kGauge,
     "Viewers logged in with the password now."},
    {"viewers_with_lengths", "vantrel_daemon_viewers_with_lengths", kGauge,
     "Viewers that asked for lengths."},
    {"viewers_with_positions", "vantrel_daemon_viewers_with_positions", kGauge,
     "Viewers that asked for positions."},
    {"viewers_with_whole_log", "vantrel_daemon_viewers_with_whole_log", kGauge,
     "Viewers granted the whole log."},
    {"viewers_most", "vantrel_daemon_viewers_most", kGauge, "The most viewers at once."},
    {"connections_accepted", "vantrel_daemon_connections_accepted_total", kCounter,
     "Connections accepted on either listener."},
    {"connections_refused_too_many", "vantrel_daemon_connections_refused_total", kCounter,
     kRefusedHelp, "reason=\"too_many\""},
    {"connections_refused_handshake", "vantrel_daemon_connections_refused_total", kCounter,
     kRefusedHelp, "reason=\"handshake\""},
    {"connections_refused_password", "vantrel_daemon_connections_refused_total", kCounter,
     kRefusedHelp, "reason=\"password\""},
    {"log_read_bytes", "vantrel_daemon_log_read_bytes_total", kCounter,
     "Bytes read from the log as it grew."},
    {"sent_bytes", "vantrel_daemon_sent_bytes_total", kCounter, "Bytes sent to viewers."},
    {"sent_frames", "vantrel_daemon_sent_frames_total", kCounter, "Log frames sent to viewers."},
    {"log_size_bytes", "vantrel_daemon_log_size_bytes", kGauge, "The followed file's size."},
    {"log_sent_offset_bytes", "vantrel_daemon_log_sent_offset_bytes", kGauge,
     "How far into the followed file the daemon has read."},
    {"log_inode", "vantrel_daemon_log_inode", kGauge, "The followed file's inode."},
    {"log_rotations", "vantrel_daemon_log_changes_total", kCounter, kChangesHelp,
     "kind=\"rotation\""},
    {"log_truncations", "vantrel_daemon_log_changes_total", kCounter, kChangesHelp,
     "kind=\"truncation\""},
    {"log_rewrites", "vantrel_daemon_log_changes_total", kCounter, kChangesHelp,
     "kind=\"rewrite\""},
    {"slowest_viewer_lag_bytes", "vantrel_daemon_slowest_viewer_lag_bytes", kGauge,
     "How far the slowest viewer stands behind the file's end."},
    {"viewers_dropped_for_lag", "vantrel_daemon_viewers_dropped_for_lag_total", kCounter,
     "Viewers dropped for not keeping up."},
    {"resumes_exact", "vantrel_daemon_resumes_total", kCounter, kResumesHelp, "result=\"exact\""},
    {"resumes_with_gap", "vantrel_daemon_resumes_total", kCounter, kResumesHelp, "result=\"gap\""},
    {"resumes_refused", "vantrel_daemon_resumes_total", kCounter, kResumesHelp,
     "result=\"refused\""},
    {"ranges", "vantrel_daemon_ranges_total", kCounter, "Ranges of the whole log asked for."},
    {"searches", "vantrel_daemon_searches_total", kCounter, "Searches of the whole log begun."},
    {"searches_running", "vantrel_daemon_searches_running", kGauge, "Searches running now."},
    {"searches_refused_busy", "vantrel_daemon_searches_refused_busy_total", kCounter,
     "Searches refused because as many ran as the daemon allows."},
};

// Label values are the sources' names, which are safe in a URL; quotes and backslashes are
// escaped all the same.
std::string source_label(const std::string& name) {
  std::string label = "source=\"";
  for (const char c : name) {
    if (c == '"' || c == '\\') label += '\\';
    label += c == '\n' ? ' ' : c;
  }
  return label + "\"";
}

std::string with(const std::string& labels, const char* more) {
  return *more == '\0' ? labels : labels + "," + more;
}

// The daemon's lines; names it does not know, and values that are no number, are skipped.
void add_daemon(Exposition& out, const std::string& labels, std::string_view counters) {
  while (!counters.empty()) {
    const std::size_t end = counters.find('\n');
    std::string_view line = counters.substr(0, end);
    counters = end == std::string_view::npos ? std::string_view{} : counters.substr(end + 1);
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, blank);
    const std::string_view text = line.substr(blank + 1);
    std::uint64_t value = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || stop != text.data() + text.size()) continue;
    for (const Renaming& renaming : kRenamings) {
      if (renaming.daemon == name) {
        out.add(renaming.name, renaming.type, renaming.help, with(labels, renaming.label), value);
      }
    }
  }
}

}  // namespace

std::string metrics_text(const RelayCounters& relay, std::size_t browsers_now,
                         const std::vector<SourceMetrics>& sources) {
  Exposition out;
  out.add("vantrel_build_info", kGauge, "The relay's version, as a label.",
          "version=\"" VANTREL_VERSION "\"", 1);
  out.add("vantrel_relay_browsers", kGauge, "Browsers following the page now.", "", browsers_now);
  out.add("vantrel_relay_browsers_total", kCounter, "Event streams opened.", "",
          relay.browsers_total);
  out.add("vantrel_relay_events_sent_total", kCounter, "Events sent to browsers.", "",
          relay.events_sent);
  out.add("vantrel_relay_sent_bytes_total", kCounter, "Bytes of event streams sent to browsers.",
          "", relay.bytes_sent);
  const char* refused_help = "Requests refused, by status code.";
  out.add("vantrel_relay_refused_total", kCounter, refused_help, "code=\"401\"",
          relay.refused_unauthorized);
  out.add("vantrel_relay_refused_total", kCounter, refused_help, "code=\"429\"",
          relay.refused_throttled);
  out.add("vantrel_relay_refused_total", kCounter, refused_help, "code=\"503\"",
          relay.refused_busy);
  for (const SourceMetrics& source : sources) {
    const std::string labels = source_label(source.name);
    out.add("vantrel_relay_ring_bytes", kGauge, "Bytes of the source's log the relay holds.",
            labels, source.ring_bytes);
    out.add("vantrel_relay_ring_capacity_bytes", kGauge, "The most bytes the relay holds.", labels,
            source.ring_capacity);
    out.add("vantrel_daemon_up", kGauge, "Whether the daemon gave its counters to this scrape.",
            labels, source.counters ? 1 : 0);
    if (source.counters) add_daemon(out, labels, *source.counters);
  }
  return out.text();
}

std::uint64_t events_in(const std::string& text) {
  std::uint64_t events = 0;
  for (std::size_t at = text.find("\n\n"); at != std::string::npos;
       at = text.find("\n\n", at + 2)) {
    ++events;
  }
  return events;
}

}  // namespace vantrel::web
