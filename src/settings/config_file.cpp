#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "settings/settings.h"

namespace vantrel::settings {

namespace {

// Field widths of the entry pattern below, plus room for the terminating zero.
constexpr std::size_t kNameRoom = 128;
constexpr std::size_t kSeparatorRoom = 16;
constexpr std::size_t kValueRoom = 256;
// A name, a separator of blanks and/or '=', a value in double quotes, and any white space after.
constexpr const char* kEntryPattern = "%127[^= ]%15[ =]\"%255[^\"\n]\"\n";

// The first entry that gives an address counts; one that does not is kept for check_settings
// to report, unless a later one gives an address.
void apply_address(const char* value, Settings& settings) {
  WrittenEntries& written = settings.written;
  if (settings.address) return;
  std::uint32_t address = 0;
  if (parse_address(value, address)) {
    settings.address = address;
    written.address = value;
    written.bad_address.reset();
  } else if (!written.bad_address) {
    written.bad_address = value;
  }
}

// The first of each counts.
void keep_first(std::optional<std::string>& field, const char* value) {
  if (!field) field = value;
}

void apply_tls_entry(const char* name, const char* value, Settings& settings) {
  WrittenEntries& written = settings.written;
  if (std::strcmp(name, "tls_port") == 0 && !written.tls_port) {
    written.tls_port = value;
    settings.tls_port = parse_port(value);
  }
  for (auto [entry, field] : {std::pair{"tls_cert", &settings.tls_cert},
                              {"tls_key", &settings.tls_key},
                              {"tls_ca", &settings.tls_ca},
                              {"tls_address", &written.tls_address},
                              {"plain", &written.plain}}) {
    if (std::strcmp(name, entry) == 0) keep_first(*field, value);
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
    keep_first(settings.written.history, value);
  } else if (std::strcmp(name, "resume") == 0) {
    keep_first(settings.written.resume, value);
  } else {
    apply_tls_entry(name, value, settings);
  }
}

}  // namespace

void for_each_config_entry(std::FILE* file, void (*take)(const char*, const char*, void*),
                           void* context) {
  char name[kNameRoom];
  char separator[kSeparatorRoom];
  char value[kValueRoom];
  while (std::fscanf(file, kEntryPattern, name, separator, value) == 3) {
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

namespace {

// The guarded entry a line gives, after any blanks, or null.
const char* guarded_entry_of(const std::string& line) {
  const std::size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos) return nullptr;
  for (const char* entry : kGuardedEntries) {
    const std::size_t length = std::strlen(entry);
    if (line.compare(start, length, entry) == 0 &&
        (line.size() == start + length || std::strchr(" \t=", line[start + length]) != nullptr)) {
      return entry;
    }
  }
  return nullptr;
}

// The offsets where the entries read begin.
std::vector<long> entry_starts(std::FILE* file) {
  std::rewind(file);
  std::vector<long> starts;
  char name[kNameRoom];
  char separator[kSeparatorRoom];
  char value[kValueRoom];
  for (long at = std::ftell(file); std::fscanf(file, kEntryPattern, name, separator, value) == 3;
       at = std::ftell(file)) {
    starts.push_back(at);
  }
  return starts;
}

// An entry that decides where or how the daemon listens must not go unread because a line
// before it stopped the reading or ran into it (a remark, a blank before a name): the daemon
// would start listening where it should not, or without TLS. Says which line and returns false.
bool guarded_entries_read(std::FILE* file, const std::string& path) {
  const std::vector<long> starts = entry_starts(file);
  std::rewind(file);
  std::string line;
  long line_start = 0;
  int number = 1;
  for (long at = 0;; ++at) {
    const int c = std::fgetc(file);
    if (c != '\n' && c != EOF) {
      line += static_cast<char>(c);
      continue;
    }
    const char* entry = guarded_entry_of(line);
    const long entry_at = line_start + static_cast<long>(line.find_first_not_of(" \t"));
    if (entry != nullptr && std::ranges::find(starts, entry_at) == starts.end()) {
      std::printf(
          "vantrel: Config file '%s': line %d gives '%s', but a line before it stops the "
          "reading (one entry per line: name = \"value\", no remarks before it). Exiting.\n",
          path.c_str(), number, entry);
      return false;
    }
    if (c == EOF) return true;
    line.clear();
    line_start = at + 1;
    ++number;
  }
}

}  // namespace

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
  const bool whole = guarded_entries_read(file, path);
  std::fclose(file);
  return whole ? 0 : -1;
}

}  // namespace vantrel::settings
