// One request of the whole log on a connection of its own, for the page's scripts and scroll:
// connect, log in asking for the whole log, send the request, take its answers, close. Blocking:
// the page runs each in a thread of its own, so that the live stream's connection never waits
// for a search, and a browser's request ends when its connection does.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "codec/position.h"
#include "codec/whole.h"
#include "follow/follow.h"

namespace vantrel::follow {

// Makes the request once the daemon has said where its live stream starts (its file's device
// and inode, and its end).
using MakeRequest = std::function<codec::WholeRequest(const codec::Position& live_end)>;
// Takes one answer; false stops the request and closes its connection.
using TakeAnswer = std::function<bool(const codec::Answer& answer)>;
// After the answer that ended a request, the next one to send on the same connection, if any.
using NextRequest = std::function<std::optional<codec::WholeRequest>(const codec::Answer& last)>;

// Returns false after writing into `problem` why the request could not be made or answered
// (a refusal is an answer, handed to `take`).
bool fetch_whole(const Source& source, const MakeRequest& make, const TakeAnswer& take,
                 const NextRequest& next, std::string& problem);

// The daemon's counters, "name value" a line, asked for once; no value after `problem` says why.
std::optional<std::string> fetch_counters(const Source& source, std::string& problem);

}  // namespace vantrel::follow
