// The log growth reader: polls the log file by path and reads what was appended into the
// transfer buffer as one frame, follows the name across rotations, and notices truncations
// and rewrites.
#pragma once

#include <cstdint>

#include "settings/settings.h"

namespace vantrel::service {

struct ServiceState;

// Allocates the transfer buffer. Returns false when no memory could be had.
bool allocate_transfer_buffer(ServiceState& state);

// One poll of the log file by path. Returns the length of the frame now waiting in the
// transfer buffer, 0 when there is nothing to send, or -1 after a fatal error was reported.
//
// At most one frame is read per poll. Growth since a poll that had viewers, while viewers are
// still connected, is delivered whole over successive polls (`behind` says more is waiting);
// growth that piled up while nobody watched, or more than kMostBehind of it, gives one frame,
// the short-read message and a jump to the file's size. A file cut back in place is reported
// and sent again from its start. When the name comes to point at another file (a rotation),
// the old file is read to its end through the kept descriptor, then the new one from its
// start. A name missing for kMissingLimit stops the daemon.
int poll_log(ServiceState& state, const settings::Settings& settings);

// Reads and frames up to one frame of the `growth` bytes past the sent offset of the kept log
// file, whose size is `size`, and moves the sent offset on (see poll_log). A read that comes
// back empty means the writer cut the file back meanwhile: it is reported as a truncation and
// the file sent again from its start. Returns the frame length, 0 after an empty read, or -1
// after a failure was reported.
int read_growth(ServiceState& state, const settings::Settings& settings, std::int64_t growth,
                std::int64_t size);

// Opens the file behind the log's name and keeps it, if no file is kept yet. Returns false after
// reporting a failure.
bool keep_log_file(ServiceState& state, const settings::Settings& settings);

// Where a new viewer starts: the start of the first whole line within the log's last
// settings.history_bytes before the sent offset, or the sent offset when there is none.
std::int64_t history_start(ServiceState& state, const settings::Settings& settings);

}  // namespace vantrel::service
