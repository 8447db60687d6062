// systemd's notifications, for a program that runs as a unit of Type=notify: readiness, a
// status line, and the watchdog's pings. They go only where systemd named a socket for them
// (NOTIFY_SOCKET); started by hand, every call does nothing.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace vantrel::notify {

// The program is ready: its listeners are open.
void ready();

// The status line `systemctl status` shows.
void status(const std::string& text);

// How often the watchdog must hear from the program: half of the unit's WatchdogSec, where it
// sets one for this process.
std::optional<std::chrono::microseconds> watchdog_interval();

// The program's loop is still turning.
void watchdog();

}  // namespace vantrel::notify
