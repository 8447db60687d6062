#include <cstdio>

#include "settings/settings.h"

namespace vantrel::settings {

namespace {

constexpr const char* kUsage =
    "Usage: vantrel [-p PORT] [-f LOGFILENAME] [-c CONFIGFILENAME] [-q] [-h]\n"
    "\n"
    "-q: \"quiet\": less output\n"
    "-h: this text\n"
    "\n"
    "Defaults: PORT = 55920\n"
    "          LOGFILENAME = qconsole.log\n"
    "          CONFIGFILENAME = vantrel.cfg\n"
    "\n"
    "config file options: port = \"PORT\"\n"
    "                     password = \"PASSWORD\"\n"
    "                     logfile = \"LOGFILENAME\"\n"
    "                     quiet = \"0\" or \"1\"\n"
    "                     key = \"HASHKEY\": 8 hexadecimal digits\n"
    "\n"
    "command-line options override config file ones\n"
    "\n";

char fold_ascii_upper(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool takes_value(char option) { return option == 'c' || option == 'f' || option == 'p'; }

void warn_unknown_option(char as_typed) {
  std::printf("vantrel: Unknown command-line option '%c' ignored.\n", as_typed);
}

void apply_value_option(char option, const char* value, Settings& settings) {
  if (option == 'c') {
    settings.configfile = value;
  } else if (option == 'f') {
    settings.logfile = value;
  } else {
    settings.port = parse_port(value);
  }
}

}  // namespace

void print_usage() { std::fputs(kUsage, stdout); }

int parse_command_line(int argc, const char* const* argv, Settings& settings) {
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    if (argument[0] != '-') continue;
    const char as_typed = argument[1];
    const char option = fold_ascii_upper(as_typed);
    if (takes_value(option)) {
      // Nothing past the vector is read: a value option in last place is an unknown one.
      if (i + 1 >= argc) {
        warn_unknown_option(as_typed);
        continue;
      }
      apply_value_option(option, argv[++i], settings);
    } else if (option == 'q') {
      settings.quiet = 1;
    } else if (option == 'h') {
      print_usage();
      return -1;
    } else {
      warn_unknown_option(as_typed);
    }
  }
  return 0;
}

}  // namespace vantrel::settings
