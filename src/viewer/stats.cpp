// --stats: each daemon's counters, asked for once on a connection of their own and written to
// standard output as the daemon gives them, "name value" a line.
#include <cstdio>
#include <optional>
#include <string>

#include "follow/fetch.h"
#include "viewer/viewer.h"

namespace vantrel::viewer {

namespace {

// With several daemons each line goes behind its daemon's name, as the terminal writes lines.
void write_counters(const std::string& counters, const std::string& prefix) {
  std::size_t at = 0;
  while (at < counters.size()) {
    const std::size_t end = counters.find('\n', at);
    const std::size_t stop = end == std::string::npos ? counters.size() : end;
    std::printf("%s%.*s\n", prefix.c_str(), static_cast<int>(stop - at), counters.data() + at);
    at = stop + 1;
  }
}

}  // namespace

int print_counters(const ViewerOptions& options) {
  int status = 0;
  const bool named = options.sources.size() > 1;
  for (const Source& source : options.sources) {
    std::string problem;
    const std::optional<std::string> counters = follow::fetch_counters(source, problem);
    if (!counters) {
      follow::say(named ? source.name + ": " : std::string(), "no counters: %s\n", problem.c_str());
      status = follow::kExitDaemonGone;
      continue;
    }
    write_counters(*counters, named ? source.name + " | " : std::string());
  }
  if (std::fflush(stdout) != 0) return follow::kExitOutputFailed;
  return status;
}

}  // namespace vantrel::viewer
