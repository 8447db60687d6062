// Arbitrary argument vectors through the command-line parser: the input's zero bytes separate
// the arguments. Each argument and the vector itself get allocations of their exact size, so
// a read past an argument's end or past the vector's last element is caught.
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "settings/settings.h"

namespace vantrel::fuzz {
namespace {

std::vector<std::unique_ptr<char[]>> split_arguments(const std::uint8_t* data, std::size_t size) {
  std::vector<std::unique_ptr<char[]>> arguments;
  if (size == 0) return arguments;  // an empty vector, as a program may be started with
  std::size_t start = 0;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i < size && data[i] != 0) continue;
    auto argument = std::make_unique<char[]>(i - start + 1);
    for (std::size_t j = start; j < i; ++j) argument[j - start] = static_cast<char>(data[j]);
    arguments.push_back(std::move(argument));
    start = i + 1;
  }
  return arguments;
}

void parse(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::unique_ptr<char[]>> arguments = split_arguments(data, size);
  const std::size_t count = arguments.size();
  auto argv = std::make_unique<const char*[]>(count + 1);
  for (std::size_t i = 0; i < count; ++i) argv[i] = arguments[i].get();
  argv[count] = nullptr;

  settings::Settings settings;
  const int result = settings::parse_command_line(static_cast<int>(count), argv.get(), settings);
  check(result == 0 || result == -1, "0, or -1 after -h");
  check(settings.quiet == -1 || settings.quiet == 1, "-q is the only way to set quiet");
  if (result != 0) return;
  // Start-up goes on to the configuration file and the check; supply what only the file sets.
  settings.password = "secret";
  settings.key = settings::key_from_number(0x3e07b1d4);
  check(settings::check_settings(settings) == 0, "complete settings pass the check");
  check(settings.port != 0 && settings.logfile.has_value(), "defaults filled in");
}

}  // namespace
}  // namespace vantrel::fuzz

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vantrel::fuzz::silence_standard_output();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  vantrel::fuzz::parse(data, size);
  return 0;
}
