// The viewer program: its options, its configuration files, and the choice of output: standard
// output, several logs merged line by line, or the page. Following the daemons is follow/'s.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "follow/follow.h"
#include "search/matcher.h"
#include "settings/settings.h"
#include "web/web_options.h"

namespace vantrel::viewer {

using follow::kExitBadSetup;
using follow::kExitHelp;
using follow::Source;

// The most sources one viewer follows, and the longest name one may have.
inline constexpr std::size_t kMostSources = 64;
inline constexpr std::size_t kLongestName = 64;

struct ViewerOptions {
  std::optional<std::string> host;         // HOST: with one -c only
  bool reconnect = false;                  // -r: reconnect whenever the daemon goes away
  std::optional<std::uint64_t> lines;      // -n: start with the log's last lines
  std::optional<std::uint64_t> from_line;  // -n +N: or with the log from line N on
  std::optional<search::Matcher> grep;     // --grep: the lines of the whole log that match
  std::string grep_pattern;
  bool grep_regex = false;
  bool grep_follow = false;  // --follow: and then the new ones
  bool timestamps = false;   // -t: the local time of arrival before each line
  bool stats = false;        // --stats: each daemon's counters, once
  // --web [ADDRESS:]PORT: serve a page for browsers instead of writing standard output; port 0
  // when not asked for.
  web::WebOptions web;
  std::optional<std::string> web_problem;  // a web_ entry of the configuration that is unusable
  std::vector<std::string> config_files;   // -c, once per source
  settings::Settings settings;             // what the command line gives: -p
  std::vector<Source> sources;             // filled from the configuration files
};

enum class ArgumentsResult { kRun, kHelp, kError };

// Reads the command line into `options`. kHelp after the usage text (-h, --help) or the
// version (--version) was printed to standard output, kError after the problem and the usage
// text were printed to standard error.
ArgumentsResult parse_viewer_arguments(int argc, const char* const* argv, ViewerOptions& options);

// Reads the configuration files with the daemon's reader into `sources`: each -c path, else the
// first of $XDG_CONFIG_HOME/vantrel/vantrel.cfg (or ~/.config/vantrel/vantrel.cfg) and
// "vantrel.cfg" beside `program_path` that opens. Fills in the default port and host. Returns
// false after reporting a file that could not be read (naming each one tried), a missing or
// zero key, or a name that is not unique or not safe in a URL.
bool load_viewer_settings(const char* program_path, ViewerOptions& options);

// Follows every source: connects, logs in when a password is set, and copies each stream to
// standard output (with several, line by line behind each source's name) or the page, until
// every daemon has gone away (or, with -r, for ever). Returns the exit status, the worst of
// the sources' with several.
int run_viewer(const ViewerOptions& options);

// --stats: writes each daemon's counters to standard output, behind its name with several.
// Returns 0, or 2 when a daemon could not give them (said on standard error).
int print_counters(const ViewerOptions& options);

}  // namespace vantrel::viewer
