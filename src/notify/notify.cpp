#include "notify/notify.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace vantrel::notify {

// sd_notify does nothing, and says so, where NOTIFY_SOCKET is not set; a notification that
// cannot be sent is not the program's failure, so what it says is not looked at.
void ready() { sd_notify(0, "READY=1"); }

void status(const std::string& text) { sd_notify(0, ("STATUS=" + text).c_str()); }

std::optional<std::chrono::microseconds> watchdog_interval() {
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::nullopt;
  return std::chrono::microseconds(usec / 2);
}

void watchdog() { sd_notify(0, "WATCHDOG=1"); }

}  // namespace vantrel::notify
