// The viewer program's choice of output: standard output behind a queue, several sources
// merged line by line behind their names, or the page.
#include "viewer/viewer.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "terminal/terminal.h"
#include "web/web.h"

namespace vantrel::viewer {

namespace {

// Several sources on standard output: their lines are put together there, behind names.
bool merges_lines(const ViewerOptions& options) {
  return options.sources.size() > 1 && options.web.port == 0;
}

std::unique_ptr<follow::Outputs> open_outputs(const ViewerOptions& options) {
  if (options.web.port != 0) return web::start_web_output(options.web, options.sources);
  std::vector<std::string> names(options.sources.size());
  std::ranges::transform(options.sources, names.begin(), &Source::name);
  const char* no_colour = std::getenv("NO_COLOR");
  const bool colour = isatty(STDOUT_FILENO) == 1 && (no_colour == nullptr || *no_colour == '\0');
  return terminal::open_terminal_output(names, colour, options.timestamps);
}

}  // namespace

int run_viewer(const ViewerOptions& options) {
  follow::FollowOptions follow;
  follow.reconnect = options.reconnect;
  follow.lines = options.lines;
  follow.from_line = options.from_line;
  follow.grep = options.grep;
  follow.grep_pattern = options.grep_pattern;
  follow.grep_regex = options.grep_regex;
  follow.grep_follow = options.grep_follow;
  // Several sources on standard output have their lines stamped as they are put together.
  follow.timestamps = options.timestamps && !merges_lines(options);
  // The page that could not start said why; standard output cannot fail to open.
  const int no_outputs = options.web.port > 0 ? follow::kExitNoConnection : kExitBadSetup;
  return follow::follow_sources(
      options.sources, follow, [&] { return open_outputs(options); }, no_outputs);
}

}  // namespace vantrel::viewer
