// Arbitrary configuration file contents through the entry reader and the settings check, and
// arbitrary program paths through the search for the configuration file.
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "fuzz_support.h"
#include "settings/settings.h"

namespace vantrel::fuzz {
namespace {

// A text field holds one entry's value up to its first zero byte: at most 255 bytes, no double
// quote and no line end.
bool is_entry_value(const std::optional<std::string>& field) {
  if (!field) return true;
  return field->size() <= 255 && field->find_first_of("\"\n") == std::string::npos;
}

void read_entries(const std::uint8_t* data, std::size_t size) {
  std::FILE* file = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
  check(file != nullptr, "fmemopen");
  settings::Settings settings;
  settings::read_config_entries(file, settings);
  std::fclose(file);
  check(is_entry_value(settings.password), "password is one entry's value");
  check(is_entry_value(settings.logfile), "logfile is one entry's value");
  if (settings::check_settings(settings) == 0) {
    check(settings.port != 0 && settings.logfile && settings.quiet != -1, "settings complete");
  }
}

void locate_file(const std::uint8_t* data, std::size_t size) {
  const std::string program_path(reinterpret_cast<const char*>(data), size);  // up to its NUL
  const std::string path = settings::config_path_beside(program_path.c_str());
  const std::size_t name_length = std::strlen(settings::kConfigFileName);
  check(
      path.size() >= name_length && path.size() <= std::strlen(program_path.c_str()) + name_length,
      "the path is the program's directory and the file name");
  check(path.compare(path.size() - name_length, name_length, settings::kConfigFileName) == 0,
        "the path ends with the file name");
}

}  // namespace
}  // namespace vantrel::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vantrel::fuzz::silence_standard_output();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;  // fmemopen wants at least one byte
  vantrel::fuzz::read_entries(data, size);
  vantrel::fuzz::locate_file(data, size);
  return 0;
}
