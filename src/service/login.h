// The login exchange: every message a viewer sends is judged here. A login gets its grant or
// its refusal (and a drop); anything else is echoed back.
#pragma once

#include <cstddef>

#include "settings/settings.h"

namespace vantrel::service {

struct ServiceState;

// Judges one received message of `received` bytes at the start of the transfer buffer.
void handle_viewer_message(ServiceState& state, const settings::Settings& settings, int descriptor,
                           std::size_t received);

// Sends what is left of the login's answer the viewer waits for. Returns whether all of it has
// gone and the viewer is still connected.
bool send_answer(ServiceState& state, const settings::Settings& settings, int descriptor);

}  // namespace vantrel::service
