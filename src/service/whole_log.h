// The whole log for the viewers granted it: ranges of lines before or after a position, and
// searches of the file, newest or oldest first. The loop never waits for them: each job does
// one slice a turn, and its answers leave in band, between the live stream's frames.
#pragma once

#include <cstddef>

#include "service/viewer.h"
#include "settings/settings.h"

namespace vantrel::service {

struct ServiceState;

// Searches that may run at once; one more is answered "busy".
inline constexpr int kMostSearches = 4;
// Bytes a job looks at in one turn.
inline constexpr std::size_t kSliceBytes = std::size_t{256} << 10;

// Takes the `received` bytes at the start of the transfer buffer as the viewer's requests, each
// a frame behind its length, and acts on every one that is whole.
void take_requests(ServiceState& state, const settings::Settings& settings, int descriptor,
                   std::size_t received);

// Does one slice of every job whose answers have all left.
void work_on_jobs(ServiceState& state, const settings::Settings& settings);

// The searches that run now.
int running_searches(const ServiceState& state);

// Whether a job waits for its next slice: the loop must not wait then.
bool has_job_work(const ServiceState& state);

// Answers wait to leave.
inline bool has_answers(const Viewer& viewer) { return has_unsent(viewer.job); }

// Sends what the socket takes of the viewer's answers. Returns whether all have left.
bool send_answers(ServiceState& state, int descriptor);

}  // namespace vantrel::service
