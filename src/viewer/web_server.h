// The browser viewer: the page and its event stream, served over HTTP (vantrel-view --web).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "viewer/sink.h"

namespace vantrel::viewer {

// Serves the page on `address`:`port` and says on standard error where it is. Returns the sink
// that the connection to the daemon writes the log into, or null after reporting why nothing
// could listen there.
std::unique_ptr<Sink> start_web_output(const std::string& address, std::uint16_t port);

}  // namespace vantrel::viewer
