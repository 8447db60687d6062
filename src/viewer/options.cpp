#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "codec/whole.h"
#include "viewer/viewer.h"

namespace vantrel::viewer {

namespace {

constexpr const char* kUsage =
    "Usage: vantrel-view [-c CONFIGFILE] [-p PORT] [-r] [-n [+]LINES] [-t]\n"
    "                    [--grep PATTERN [--follow]] [--stats] [--web [ADDRESS:]PORT]\n"
    "                    [--web-base PATH] [--tls-cert FILE --tls-key FILE] [--insecure-http]\n"
    "                    [--metrics-open]\n"
    "                    [-h] [--version] [HOST]\n"
    "\n"
    "Follows the log that a vantrel daemon serves and writes it to standard output.\n"
    "\n"
    "-c CONFIGFILE: the daemon's configuration file, read for its key, password and port,\n"
    "               and for host and name (default: $XDG_CONFIG_HOME/vantrel/vantrel.cfg,\n"
    "               or ~/.config/vantrel/vantrel.cfg, else vantrel.cfg beside this program);\n"
    "               once per daemon to follow up to 64 logs, each line behind its name\n"
    "-p PORT:       the daemon's port (default: the file's port, else 55920); one -c only\n"
    "-r:            reconnect whenever the daemon goes away, and go on after the last byte\n"
    "               written; every gap is said on standard error\n"
    "-n LINES:      start with the log's last LINES lines; -n +LINES: with the log from\n"
    "               line LINES on (-n +1: the whole file), then follow\n"
    "--grep PATTERN: write every line of the whole log that holds PATTERN, oldest first\n"
    "               (/PATTERN/: a regular expression; case is ignored unless PATTERN\n"
    "               has an upper-case letter), and end as grep does: 0 a line matched,\n"
    "               1 none did, 2 trouble\n"
    "--follow:      with --grep, go on with the new lines that match\n"
    "--stats:       write the daemon's counters, \"name value\" a line, and end: 0, or 2\n"
    "               when the daemon could not give them\n"
    "-t:            put the local time of arrival before each line\n"
    "--web [ADDRESS:]PORT: serve a live page of the log for browsers at\n"
    "               http://ADDRESS:PORT/ (ADDRESS 127.0.0.1 unless given) instead of\n"
    "               writing standard output\n"
    "--web-base PATH: serve the page and its stream under /PATH/, as behind a proxy\n"
    "--tls-cert FILE, --tls-key FILE: serve the page over HTTPS with this certificate\n"
    "               chain and key (read again on SIGHUP)\n"
    "--insecure-http: serve a page that has a password (web_password) over plain HTTP\n"
    "               on an address other than loopback\n"
    "--metrics-open: serve the page's /metrics (Prometheus's text format) without the\n"
    "               web_password, for a scraper on this machine\n"
    "-h, --help:    this text\n"
    "--version:     the version\n"
    "HOST:          the daemon's host name or IPv4 address (default: the file's host, else\n"
    "               127.0.0.1); one -c only\n"
    "\n"
    "Exit status: 0 after -h, 1 password refused, 2 daemon gone, 3 no connection,\n"
    "             4 no readable answer to the login, 5 bad command line or configuration,\n"
    "             6 standard output not writable, 7 the daemon's certificate not the one\n"
    "             expected, or the viewer's certificate refused by the daemon\n";

ArgumentsResult usage_error(const char* problem, const char* argument) {
  std::fprintf(stderr, "vantrel-view: %s '%s'\n\n%s", problem, argument, kUsage);
  return ArgumentsResult::kError;
}

bool all_digits(const char* text) {
  if (*text == '\0') return false;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return false;
  }
  return true;
}

// A port given with -p must be a plain number from 1 to 65535: unlike the daemon's lenient
// reading, a typo here would only show as a connection to the wrong place.
bool read_port_option(const char* text, settings::Settings& settings) {
  if (!all_digits(text) || std::strlen(text) > 5) return false;
  const int value = settings::parse_decimal(text);
  if (value < 1 || value > 65535) return false;
  settings.port = settings::parse_port(text);
  return true;
}

// "8080" or "0.0.0.0:8080": where the page is served.
bool read_web_option(const char* text, ViewerOptions& options) {
  const std::string value = text;
  const std::size_t colon = value.rfind(':');
  const std::string port = colon == std::string::npos ? value : value.substr(colon + 1);
  const std::string address = colon == std::string::npos ? "127.0.0.1" : value.substr(0, colon);
  settings::Settings scratch;
  std::uint32_t parsed = 0;
  if (!read_port_option(port.c_str(), scratch) ||
      !settings::parse_address(address.c_str(), parsed)) {
    return false;
  }
  options.web.address = address;
  options.web.port = scratch.port;
  return true;
}

// "N", or "+N" for the log from line N on.
bool read_lines_option(std::string_view value, ViewerOptions& options) {
  const bool from_line = value.starts_with('+');
  if (from_line) value.remove_prefix(1);
  std::uint64_t lines = 0;
  const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), lines);
  if (value.empty() || error != std::errc{} || end != value.data() + value.size()) return false;
  if (from_line) {
    options.from_line = std::max<std::uint64_t>(lines, 1);  // +0 is +1, as tail takes it
  } else {
    options.lines = lines;
  }
  return true;
}

// A fixed string, or a regular expression between slashes.
bool read_grep_option(std::string_view value, ViewerOptions& options) {
  const bool regex = value.size() >= 2 && value.starts_with('/') && value.ends_with('/');
  if (regex) value = value.substr(1, value.size() - 2);
  if (value.size() > codec::kMostPattern) {
    std::fprintf(stderr, "vantrel-view: a --grep pattern has at most %zu bytes\n",
                 codec::kMostPattern);
    return false;
  }
  std::string error;
  options.grep = search::make_matcher(value, regex, error);
  if (!options.grep) {
    std::fprintf(stderr, "vantrel-view: not a regular expression: %s\n", error.c_str());
    return false;
  }
  options.grep_pattern = std::string(value);
  options.grep_regex = regex;
  return true;
}

}  // namespace

ArgumentsResult parse_viewer_arguments(int argc, const char* const* argv, ViewerOptions& options) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-' || argument[1] == '\0') {
      if (options.host) return usage_error("more than one host:", argument);
      options.host = argument;
      continue;
    }
    const std::string option = argument;
    if (option == "-h" || option == "--help") {
      std::fputs(kUsage, stdout);
      return ArgumentsResult::kHelp;
    }
    if (option == "--version") {
      std::printf("vantrel-view %s\n", VANTREL_VERSION);
      return ArgumentsResult::kHelp;
    }
    if (option == "-r") {
      options.reconnect = true;
    } else if (option == "-t") {
      options.timestamps = true;
    } else if (option == "--web") {
      if (i + 1 >= argc) return usage_error("missing value after", argument);
      if (!read_web_option(argv[++i], options)) {
        return usage_error("not a [ADDRESS:]PORT to serve on:", argv[i]);
      }
    } else if (option == "--insecure-http") {
      options.web.insecure_http = true;
    } else if (option == "--metrics-open") {
      options.web.metrics_open = true;
    } else if (option == "--web-base" || option == "--tls-cert" || option == "--tls-key") {
      if (i + 1 >= argc) return usage_error("missing value after", argument);
      const char* value = argv[++i];
      if (option == "--tls-cert") {
        options.web.tls_cert = value;
      } else if (option == "--tls-key") {
        options.web.tls_key = value;
      } else if (const auto base = web::normalize_base(value)) {
        options.web.base = *base;
      } else {
        return usage_error("not a path of letters, digits and - . _ ~ / to serve under:", value);
      }
    } else if (option == "-n") {
      if (i + 1 >= argc) return usage_error("missing value after", argument);
      if (!read_lines_option(argv[++i], options)) {
        return usage_error("not a number of lines:", argv[i]);
      }
    } else if (option == "--grep") {
      if (i + 1 >= argc) return usage_error("missing value after", argument);
      if (!read_grep_option(argv[++i], options)) return ArgumentsResult::kError;
    } else if (option == "--follow") {
      options.grep_follow = true;
    } else if (option == "--stats") {
      options.stats = true;
    } else if (option == "-c" || option == "-p") {
      if (i + 1 >= argc) return usage_error("missing value after", argument);
      const char* value = argv[++i];
      if (option == "-c") {
        options.config_files.emplace_back(value);
      } else if (!read_port_option(value, options.settings)) {
        return usage_error("not a port from 1 to 65535:", value);
      }
    } else {
      return usage_error("unknown option", argument);
    }
  }
  if (options.grep && options.web.port != 0) {
    return usage_error("--grep writes standard output; no page with", "--grep");
  }
  if (options.stats && (options.grep || options.web.port != 0)) {
    return usage_error("--stats writes the counters and ends; no --grep or --web with", "--stats");
  }
  if (options.grep_follow && !options.grep) {
    return usage_error("follows the lines --grep finds: no --grep for", "--follow");
  }
  return ArgumentsResult::kRun;
}

namespace {

std::vector<std::string> config_candidates(const char* program_path) {
  std::vector<std::string> candidates;
  const char* config_home = std::getenv("XDG_CONFIG_HOME");
  const char* home = std::getenv("HOME");
  if (config_home != nullptr && *config_home == '/') {
    candidates.push_back(std::string(config_home) + "/vantrel/vantrel.cfg");
  } else if (home != nullptr && *home != '\0') {
    candidates.push_back(std::string(home) + "/.config/vantrel/vantrel.cfg");
  }
  candidates.push_back(settings::config_path_beside(program_path));
  return candidates;
}

// What reading one file's entries gathers beside the daemon's settings.
struct EntryReading {
  Source* source;
  ViewerOptions* options;
  bool first;  // the page's entries belong in the first file
  std::optional<std::string> name;
  std::optional<std::string> problem;
};

void take_viewer_entry(const char* name, const char* value, void* context) {
  auto& reading = *static_cast<EntryReading*>(context);
  const std::string entry = name;
  if (entry == "host") {
    reading.source->host = value;
  } else if (entry == "name") {
    reading.name = value;
  } else if (entry == "tls_fingerprint") {
    reading.source->tls_fingerprint = value;
  } else if (entry == "viewer_cert") {
    reading.source->viewer_cert = value;
  } else if (entry == "viewer_key") {
    reading.source->viewer_key = value;
  } else if (entry.starts_with("web_") && !reading.first) {
    if (!reading.problem)
      reading.problem = entry + ": the page's entries belong in the first -c file";
  } else {
    std::optional<std::string> problem;
    web::apply_web_entry(name, value, reading.options->web, problem);
    if (problem && !reading.options->web_problem) reading.options->web_problem = problem;
  }
}

// "logs/alpha.cfg" names its source "alpha".
std::string name_from_path(const std::string& path) {
  std::string name = path.substr(path.rfind('/') + 1);
  if (name.ends_with(".cfg")) name.resize(name.size() - 4);
  return name;
}

// Reads the first file of `candidates` that opens into `source`. Returns its path, or nothing
// after saying which files it tried.
std::optional<std::string> read_source_config(const std::vector<std::string>& candidates,
                                              Source& source, ViewerOptions& options, bool first) {
  std::string tried;
  for (const std::string& path : candidates) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
      tried += "\nvantrel-view:   " + path + ": " + std::strerror(errno);
      continue;
    }
    settings::read_config_entries(file, source.settings);
    std::rewind(file);
    EntryReading reading{&source, &options, first, std::nullopt, std::nullopt};
    settings::for_each_config_entry(file, take_viewer_entry, &reading);
    std::fclose(file);
    source.name = reading.name.value_or(name_from_path(path));
    if (reading.problem) {
      std::fprintf(stderr, "vantrel-view: '%s': %s\n", path.c_str(), reading.problem->c_str());
      return std::nullopt;
    }
    return path;
  }
  std::fprintf(stderr, "vantrel-view: can't read a configuration file; tried:%s\n", tried.c_str());
  return std::nullopt;
}

bool has_key(const Source& source, const std::string& path) {
  if (settings::key_to_number(source.settings.key) != 0) return true;
  std::fprintf(stderr,
               "vantrel-view: '%s' sets no key, or a zero one; it needs the daemon's key,\n"
               "vantrel-view: in a line like: key = \"3e07b1d4\"\n",
               path.c_str());
  return false;
}

bool has_usable_name(const ViewerOptions& options, std::size_t index, const std::string& path) {
  const std::string& name = options.sources[index].name;
  // A name goes into the page's URL as it is.
  if (name.size() > kLongestName || !web::is_path_segment(name)) {
    std::fprintf(stderr,
                 "vantrel-view: '%s': the source name '%s' must be 1 to %zu letters, digits and "
                 "- . _ ~; set one with name = \"...\"\n",
                 path.c_str(), name.c_str(), kLongestName);
    return false;
  }
  for (std::size_t other = 0; other < index; ++other) {
    if (options.sources[other].name != name) continue;
    std::fprintf(stderr,
                 "vantrel-view: '%s' and '%s' both name their source '%s'; give one another "
                 "name with name = \"...\"\n",
                 options.config_files[other].c_str(), path.c_str(), name.c_str());
    return false;
  }
  return true;
}

bool check_source_count(const ViewerOptions& options) {
  const std::size_t count = options.config_files.size();
  if (count > kMostSources) {
    std::fprintf(stderr, "vantrel-view: %zu -c files; one viewer follows at most %zu\n", count,
                 kMostSources);
    return false;
  }
  if (count > 1 && (options.host || options.settings.port != 0)) {
    std::fprintf(stderr,
                 "vantrel-view: HOST and -p go with one -c only; with several, give each file "
                 "its host and port entries\n");
    return false;
  }
  return true;
}

// Reads one source's file; `configured` false reads the first of the search order.
bool load_source(const char* program_path, ViewerOptions& options, std::size_t index) {
  const bool configured = !options.config_files.empty();
  const std::vector<std::string> candidates =
      configured ? std::vector{options.config_files[index]} : config_candidates(program_path);
  Source& source = options.sources.emplace_back();
  source.settings = options.settings;
  const std::optional<std::string> path =
      read_source_config(candidates, source, options, index == 0);
  if (!path || !has_key(source, *path)) return false;
  if (index == 0 && options.web.port != 0 && options.web_problem) {
    std::fprintf(stderr, "vantrel-view: '%s': %s\n", path->c_str(), options.web_problem->c_str());
    return false;
  }
  // With TLS the viewer connects to the daemon's TLS port, or to -p's.
  if (source.settings.tls_port != 0 && options.settings.port == 0) {
    source.settings.port = source.settings.tls_port;
  }
  if (source.settings.port == 0) source.settings.port = settings::kDefaultPort;
  if (options.host) source.host = *options.host;
  if (!follow::set_up_tls(source, *path)) return false;
  return options.config_files.size() < 2 || has_usable_name(options, index, *path);
}

}  // namespace

bool load_viewer_settings(const char* program_path, ViewerOptions& options) {
  if (!check_source_count(options)) return false;
  const std::size_t count = std::max<std::size_t>(options.config_files.size(), 1);
  for (std::size_t index = 0; index < count; ++index) {
    if (!load_source(program_path, options, index)) return false;
  }
  if (options.web.port == 0) return true;
  options.web.log_name = options.sources[0].settings.logfile.value_or("");
  return web::check_web_options(options.web);
}

}  // namespace vantrel::viewer
