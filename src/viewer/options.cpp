#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "viewer/viewer.h"

namespace vantrel::viewer {

namespace {

constexpr const char* kUsage =
    "Usage: vantrel-view [-c CONFIGFILE] [-p PORT] [-r] [-t] [--web [ADDRESS:]PORT]\n"
    "                    [--web-base PATH] [--tls-cert FILE --tls-key FILE] [--insecure-http]\n"
    "                    [-h] [--version] [HOST]\n"
    "\n"
    "Follows the log that a vantrel daemon serves and writes it to standard output.\n"
    "\n"
    "-c CONFIGFILE: the daemon's configuration file, read for its key, password and port\n"
    "               (default: $XDG_CONFIG_HOME/vantrel/vantrel.cfg, or\n"
    "               ~/.config/vantrel/vantrel.cfg, else vantrel.cfg beside this program)\n"
    "-p PORT:       the daemon's port (default: the file's port, else 55920)\n"
    "-r:            reconnect whenever the daemon goes away\n"
    "-t:            put the local time of arrival before each line\n"
    "--web [ADDRESS:]PORT: serve a live page of the log for browsers at\n"
    "               http://ADDRESS:PORT/ (ADDRESS 127.0.0.1 unless given) instead of\n"
    "               writing standard output\n"
    "--web-base PATH: serve the page and its stream under /PATH/, as behind a proxy\n"
    "--tls-cert FILE, --tls-key FILE: serve the page over HTTPS with this certificate\n"
    "               chain and key (read again on SIGHUP)\n"
    "--insecure-http: serve a page that has a password (web_password) over plain HTTP\n"
    "               on an address other than loopback\n"
    "-h, --help:    this text\n"
    "--version:     the version\n"
    "HOST:          the daemon's host name or IPv4 address (default: 127.0.0.1)\n"
    "\n"
    "Exit status: 0 after -h, 1 password refused, 2 daemon gone, 3 no connection,\n"
    "             4 no readable answer to the login, 5 bad command line or configuration,\n"
    "             6 standard output not writable\n";

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

}  // namespace

ArgumentsResult parse_viewer_arguments(int argc, const char* const* argv, ViewerOptions& options) {
  bool host_given = false;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-' || argument[1] == '\0') {
      if (host_given) return usage_error("more than one host:", argument);
      options.host = argument;
      host_given = true;
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
    } else if (option == "-c" || option == "-p") {
      if (i + 1 >= argc) return usage_error("missing value after", argument);
      const char* value = argv[++i];
      if (option == "-c") {
        options.settings.configfile = value;
      } else if (!read_port_option(value, options.settings)) {
        return usage_error("not a port from 1 to 65535:", value);
      }
    } else {
      return usage_error("unknown option", argument);
    }
  }
  return ArgumentsResult::kRun;
}

namespace {

std::vector<std::string> config_candidates(const char* program_path,
                                           const settings::Settings& settings) {
  if (settings.configfile) return {*settings.configfile};
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

// Reads the first configuration file of the search order that opens. Returns its path, or
// nothing after saying which files it tried.
std::optional<std::string> read_viewer_config(const char* program_path, ViewerOptions& options) {
  const settings::Settings& settings = options.settings;
  std::string tried;
  for (const std::string& path : config_candidates(program_path, settings)) {
    std::FILE* file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
      tried += "\nvantrel-view:   " + path + ": " + std::strerror(errno);
      continue;
    }
    settings::read_config_entries(file, options.settings);
    std::rewind(file);
    settings::for_each_config_entry(
        file,
        [](const char* name, const char* value, void* context) {
          auto& viewer = *static_cast<ViewerOptions*>(context);
          std::optional<std::string> problem;
          web::apply_web_entry(name, value, viewer.web, problem);
          if (problem && !viewer.web_problem) viewer.web_problem = problem;
        },
        &options);
    std::fclose(file);
    return path;
  }
  std::fprintf(stderr, "vantrel-view: can't read a configuration file; tried:%s\n", tried.c_str());
  return std::nullopt;
}

}  // namespace

bool load_viewer_settings(const char* program_path, ViewerOptions& options) {
  settings::Settings& settings = options.settings;
  const std::optional<std::string> path = read_viewer_config(program_path, options);
  if (!path) return false;
  if (settings::key_to_number(settings.key) == 0) {
    std::fprintf(stderr,
                 "vantrel-view: '%s' sets no key, or a zero one; it needs the daemon's key,\n"
                 "vantrel-view: in a line like: key = \"3e07b1d4\"\n",
                 path->c_str());
    return false;
  }
  if (settings.port == 0) settings.port = settings::kDefaultPort;
  if (options.web.port == 0) return true;
  if (options.web_problem) {
    std::fprintf(stderr, "vantrel-view: '%s': %s\n", path->c_str(), options.web_problem->c_str());
    return false;
  }
  options.web.log_name = settings.logfile.value_or("");
  return web::check_web_options(options.web);
}

}  // namespace vantrel::viewer
