// Wake-ups for changes of the log file: an inotify watch on the file's folder, filtered to the
// file's own name. A watch is only a reason to look again; the poll by path stays the truth, so
// no event is counted and none is relied on (identical events are merged, and the queue may
// overflow).
#pragma once

#include <string>

namespace vantrel::service {

// Opens a watch for the log file at `path`, on a descriptor of `lowest` or above where one is
// free. Returns a descriptor to wait on for readability, or -1 after saying on standard output
// that the file will only be polled.
int open_log_watch(const std::string& path, int lowest);

// Reads every event waiting on the watch. Returns whether one of them named the log file.
bool drain_log_watch(int watch, const std::string& path);

}  // namespace vantrel::service
