// What systemd hears from the daemon, where it runs as a unit of Type=notify: that it is ready
// once its listeners are open, how many viewers it serves when that changes (once a second at
// most), and, where the unit sets WatchdogSec, that its loop still turns. Internal to
// src/service.
#pragma once

#include <chrono>
#include <optional>

namespace vantrel::service {

struct ServiceState;

struct Readiness {
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::duration> ping_every;  // half the unit's WatchdogSec, where it sets one
  Clock::time_point next_ping{};
  int said_viewers = -1;  // the viewers the last status named
  Clock::time_point said_at{};
};

// Says the daemon is ready, and learns the watchdog's interval.
void start_readiness(Readiness& readiness);

// Pings the watchdog when due, and names the viewers when their number changed.
void keep_systemd_told(ServiceState& state);

// When the loop must turn next for systemd: the next ping, or a changed status held back by
// the once-a-second bound. None where systemd is not listening.
std::optional<std::chrono::steady_clock::time_point> next_systemd_turn(const ServiceState& state);

}  // namespace vantrel::service
