#include "service/readiness.h"

#include <cstdlib>
#include <string>

#include "notify/notify.h"
#include "service/service_state.h"

namespace vantrel::service {

namespace {

constexpr std::chrono::seconds kStatusEvery{1};

// Only under systemd: started by hand, the daemon counts nothing for it.
bool systemd_listens() { return std::getenv("NOTIFY_SOCKET") != nullptr; }

int viewers_now(const ServiceState& state) {
  int count = 0;
  for (int d = 0; d < kMaxDescriptors; ++d) count += is_viewer(state, d) ? 1 : 0;
  return count;
}

}  // namespace

void start_readiness(Readiness& readiness) {
  if (!systemd_listens()) return;
  notify::ready();
  readiness.ping_every = notify::watchdog_interval();
  readiness.next_ping = Clock::now();
}

void keep_systemd_told(ServiceState& state) {
  if (!systemd_listens()) return;
  Readiness& readiness = state.readiness;
  const Clock::time_point now = Clock::now();
  if (readiness.ping_every && now >= readiness.next_ping) {
    notify::watchdog();
    readiness.next_ping = now + *readiness.ping_every;
  }
  const int viewers = viewers_now(state);
  if (viewers != readiness.said_viewers && now >= readiness.said_at + kStatusEvery) {
    notify::status(std::to_string(viewers) + (viewers == 1 ? " viewer" : " viewers"));
    readiness.said_viewers = viewers;
    readiness.said_at = now;
  }
}

std::optional<Clock::time_point> next_systemd_turn(const ServiceState& state) {
  if (!systemd_listens()) return std::nullopt;
  const Readiness& readiness = state.readiness;
  std::optional<Clock::time_point> next;
  if (readiness.ping_every) next = readiness.next_ping;
  if (viewers_now(state) != readiness.said_viewers) {
    const Clock::time_point status_at = readiness.said_at + kStatusEvery;
    if (!next || status_at < *next) next = status_at;
  }
  return next;
}

}  // namespace vantrel::service
