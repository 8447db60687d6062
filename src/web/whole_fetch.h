// A request of the whole log from the page, answered: fetched from its daemon on a connection
// of its own (follow::fetch_whole) and turned into the HTTP answer, header first, a piece at a
// time. Runs in a thread of its own. Internal to src/web.
#pragma once

#include <functional>
#include <string>

#include "follow/follow.h"
#include "web/whole_query.h"

namespace vantrel::web {

// Takes the next piece of the answer, the header first; false: the browser went, stop.
using Emit = std::function<bool(std::string piece)>;

void answer_whole(const follow::Source& source, const WholeQuery& query, const Emit& emit);

// The header of a 200 answer of `type` written a piece at a time, as the whole log's are.
std::string ok_header(const std::string& type);

}  // namespace vantrel::web
