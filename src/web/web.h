// The browser viewer (vantrel-view --web): a page and one event stream per browser, over HTTP
// or HTTPS, behind a password if one is set, under a base path for a reverse proxy, with
// limits that hold when the port faces an open network.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "follow/follow.h"
#include "follow/sink.h"
#include "web/web_options.h"

namespace vantrel::web {

// Serves the page and says on standard error where it is. Returns the sinks that the
// connections to the daemons (one per name, in order) write their logs into, or null after
// reporting why nothing could serve. With several, the page shows each source on its own, at
// events/NAME, or all of them merged line by line, at events. The sources, which outlive it,
// are also asked for the whole log, each request on a connection of its own.
std::unique_ptr<follow::Outputs> start_web_output(const WebOptions& options,
                                                  const std::vector<follow::Source>& sources);

}  // namespace vantrel::web
