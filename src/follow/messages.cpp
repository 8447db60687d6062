// What the viewer says on standard error, and the times it stamps lines with.
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "follow/follow.h"

namespace vantrel::follow {

// C's variadic form, so that the compiler checks each format against its arguments.
void say(const std::string& label, const char* format, ...) {  // NOLINT(cert-dcl50-cpp)
  std::string line = "vantrel-view: " + label + format;
  va_list arguments;
  va_start(arguments, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
  std::vfprintf(stderr, line.c_str(), arguments);
#pragma GCC diagnostic pop
  va_end(arguments);
}

std::string arrival_stamp(std::chrono::system_clock::time_point when) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(millis));
  return stamp;
}

}  // namespace vantrel::follow
