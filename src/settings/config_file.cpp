#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "settings/settings.h"

namespace vantrel::settings {

namespace {

// Field widths of the entry pattern below, plus room for the terminating zero.
constexpr std::size_t kNameRoom = 128;
constexpr std::size_t kSeparatorRoom = 16;
constexpr std::size_t kValueRoom = 256;

// The first entry that gives an address counts; one that does not is kept for check_settings
// to report, unless a later one gives an address.
void apply_address(const char* value, Settings& settings) {
  if (settings.address) return;
  std::uint32_t address = 0;
  if (parse_address(value, address)) {
    settings.address = value;
    settings.bad_address.reset();
  } else if (!settings.bad_address) {
    settings.bad_address = value;
  }
}

void apply_entry(const char* name, const char* value, Settings& settings) {
  if (std::strcmp(name, "password") == 0) {
    settings.password = value;
  } else if (std::strcmp(name, "key") == 0) {
    settings.key = key_from_number(parse_hex_key(value));
  } else if (std::strcmp(name, "port") == 0) {
    if (settings.port == 0) settings.port = parse_port(value);
  } else if (std::strcmp(name, "logfile") == 0) {
    if (!settings.logfile) settings.logfile = value;
  } else if (std::strcmp(name, "quiet") == 0) {
    if (settings.quiet == -1) settings.quiet = parse_decimal(value);
  } else if (std::strcmp(name, "address") == 0) {
    apply_address(value, settings);
  } else if (std::strcmp(name, "history") == 0) {
    if (!settings.history) settings.history = value;
  } else if (std::strcmp(name, "resume") == 0) {
    if (!settings.resume) settings.resume = value;
  }
}

}  // namespace

void for_each_config_entry(std::FILE* file, void (*take)(const char*, const char*, void*),
                           void* context) {
  char name[kNameRoom];
  char separator[kSeparatorRoom];
  char value[kValueRoom];
  while (std::fscanf(file, "%127[^= ]%15[ =]\"%255[^\"\n]\"\n", name, separator, value) == 3) {
    take(name, value, context);
  }
}

void read_config_entries(std::FILE* file, Settings& settings) {
  for_each_config_entry(
      file,
      [](const char* name, const char* value, void* context) {
        apply_entry(name, value, *static_cast<Settings*>(context));
      },
      &settings);
}

std::string config_path_beside(const char* program_path) {
  std::string directory;
  if (program_path != nullptr) {
    if (const char* last_slash = std::strrchr(program_path, '/')) {
      directory.assign(program_path, static_cast<std::size_t>(last_slash - program_path) + 1);
    }
  }
  if (!directory.empty() && directory.front() == '"') directory.erase(0, 1);
  return directory + kConfigFileName;
}

int read_config_file(const char* program_path, Settings& settings) {
  const std::string path = settings.configfile.value_or(config_path_beside(program_path));
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    const int open_error = errno;
    if (open_error == ENOMEM) {
      std::printf("vantrel: Something's wrong. Exiting.\n");
      return -1;
    }
    const std::string what = "vantrel: Error opening config file '" + path + "'";
    errno = open_error;
    std::perror(what.c_str());
    return -1;
  }
  settings.configfile.reset();  // never read again
  read_config_entries(file, settings);
  std::fclose(file);
  return 0;
}

}  // namespace vantrel::settings
