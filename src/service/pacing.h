// Each viewer at its own pace: the frame just read goes to every viewer at the writer's
// position, and a viewer behind is read its rest from the file, frame by frame, as its socket
// takes them; a viewer that falls too far behind is dropped or, with positions, skips ahead.
#pragma once

#include <sys/select.h>

#include <optional>

#include "service/viewer.h"
#include "settings/settings.h"

namespace vantrel::service {

struct ServiceState;

// Sends each viewer what it can take now: first the frame the transfer buffer holds to every
// viewer that stands at it, then the rest from the file, frame by frame.
void serve_viewers(ServiceState& state, const settings::Settings& settings);

// Drops the viewers that took nothing for kStallLimit while behind, and those without positions
// more than kMostBehind behind; those with positions further behind than the resume bound (and
// kMostBehind) skip ahead to it.
void drop_lagging_viewers(ServiceState& state, const settings::Settings& settings);

// Adds the viewers waiting for room in their sockets to `room`. Returns the highest descriptor
// added, or -1.
int add_room_waits(const ServiceState& state, fd_set& room);

// The viewers that `room` says have room may be sent to again.
void take_room(ServiceState& state, const fd_set& room);

// When a viewer with more to take may next be sent a frame, if one waits.
std::optional<Clock::time_point> next_viewer_turn(const ServiceState& state);

// The file was cut back in place: every viewer of it starts again from its start.
void rewind_viewers(ServiceState& state);

// The file was cut back and grew past the sent offset between two looks, or was rewritten in
// place: its size cannot tell, the bytes before the sent offset can. Viewers with positions
// start again from its start and are told; the others go on from the sent offset as before.
void rewind_viewers_with_positions(ServiceState& state);

// The name now leads to another file and the kept one has been read to its end: the kept one
// stays open for the viewers still reading it, and the next read starts the new one.
void retire_log_file(ServiceState& state);

}  // namespace vantrel::service
