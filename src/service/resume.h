// Viewers that asked for positions: where each starts (new, the last lines, or where it stood
// before a reconnect or a restart), and the notices that tell it where its stream jumps. The
// log file is the only buffer: a resumed viewer is read from the file like any viewer behind.
#pragma once

#include <cstdint>

#include "codec/position.h"
#include "service/viewer.h"
#include "settings/settings.h"

namespace vantrel::service {

struct ServiceState;

// The first line start at or after `from` (which it is when the byte before ends a line) in
// `file` before `end`, or `from` when no line starts there. Uses the transfer buffer.
std::int64_t line_start_within(ServiceState& state, int file, std::int64_t from, std::int64_t end);

// The end of the current file as far as anyone may be sent it: what the daemon has taken, or
// more where the file grew since the last poll.
std::int64_t current_end(const ServiceState& state);

// Whether the `check_length` bytes before the position in `file` are the ones it was made of.
bool check_holds(int file, const codec::Position& at);

// The viewer's login was granted: it starts where its resume field asks, as far as the file
// still holds that and the resume bound allows, and a notice tells it where.
void place_viewer(ServiceState& state, const settings::Settings& settings, int descriptor);

// Queues a notice of where the viewer's stream goes on, to go before its next frame.
void queue_notice(Viewer& viewer, codec::NoticeKind kind, std::uint64_t skipped);

// Sends what is left of the viewer's notice. Returns whether all of it has gone.
bool send_notice(ServiceState& state, const settings::Settings& settings, int descriptor);

// A viewer with positions that fell further behind than the daemon keeps for it goes on from
// the bound, and is told how much it skipped.
void skip_lagging_viewer(ServiceState& state, const settings::Settings& settings, int descriptor);

}  // namespace vantrel::service
