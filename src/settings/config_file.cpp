#include <algorithm>
#include <cctype>
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

// Where the entries read begin, and where the reading stopped.
struct EntriesRead {
  std::vector<long> starts;
  long stop = 0;
};

EntriesRead entries_read(std::FILE* file) {
  std::rewind(file);
  EntriesRead read;
  char name[kNameRoom];
  char separator[kSeparatorRoom];
  char value[kValueRoom];
  for (read.stop = std::ftell(file); std::fscanf(file, kEntryPattern, name, separator, value) == 3;
       read.stop = std::ftell(file)) {
    read.starts.push_back(read.stop);
  }
  return read;
}

// The name a line gives an entry, after any blanks: letters, digits and '_' before blanks or
// '=' and a double quote. Empty for any other line.
std::string entry_name_of(const std::string& line) {
  const std::size_t start = line.find_first_not_of(" \t");
  if (start == std::string::npos) return {};
  std::size_t end = start;
  while (end < line.size() &&
         (std::isalnum(static_cast<unsigned char>(line[end])) != 0 || line[end] == '_')) {
    ++end;
  }
  const std::size_t quote = line.find_first_not_of(" =", end);
  const bool separated = end < line.size() && (line[end] == ' ' || line[end] == '=');
  return end > start && separated && quote != std::string::npos && line[quote] == '"'
             ? line.substr(start, end - start)
             : std::string{};
}

// Reading stops at the first line it cannot read, and everything after it is left unread. That
// is how the file is read; that it would go unsaid is not: where entries follow the stop, the
// daemon says at which line it stopped and which names it left.
void say_unread_entries(std::FILE* file, const std::string& path, long stop) {
  std::rewind(file);
  std::string before(static_cast<std::size_t>(stop), '\0');
  if (std::fread(before.data(), 1, before.size(), file) != before.size()) return;
  const int line_number = 1 + static_cast<int>(std::ranges::count(before, '\n'));
  std::string stop_line = before.substr(before.rfind('\n') + 1);  // npos + 1 is 0
  std::vector<std::string> names;
  std::string line;
  bool first = true;
  for (int c = std::fgetc(file);; c = std::fgetc(file)) {
    if (c != '\n' && c != EOF) {
      line += static_cast<char>(c);
      continue;
    }
    if (first) stop_line += line;
    const std::string name = entry_name_of(line);  // on the stop's line, from the stop on
    if (!name.empty() && std::ranges::find(names, name) == names.end()) names.push_back(name);
    first = false;
    line.clear();
    if (c == EOF) break;
  }
  if (names.empty()) return;
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ", ") + name;
  if (stop_line.size() > 60) stop_line.replace(57, std::string::npos, "...");
  std::printf(
      "vantrel: Config file '%s': reading stopped at line %d (\"%s\"), so these entries "
      "were not read: %s.\n",
      path.c_str(), line_number, stop_line.c_str(), list.c_str());
}

// An entry that decides where or how the daemon listens must not go unread because a line
// before it stopped the reading or ran into it (a remark, a blank before a name): the daemon
// would start listening where it should not, or without TLS. Says which line and returns false.
bool guarded_entries_read(std::FILE* file, const std::string& path,
                          const std::vector<long>& starts) {
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
  const EntriesRead read = entries_read(file);
  const bool whole = guarded_entries_read(file, path, read.starts);
  if (whole) say_unread_entries(file, path, read.stop);
  std::fclose(file);
  return whole ? 0 : -1;
}

}  // namespace vantrel::settings
