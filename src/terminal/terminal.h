// Standard output as the viewer's output: one log behind a queue, written as it comes, or
// several put together line by line behind their names.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "follow/sink.h"

namespace vantrel::terminal {

// The output for the sources `names`: with one, standard output behind a queue; with several,
// "NAME | line", each name padded to the longest and, when `colour`, coloured per source; with
// `timestamps` as well, the time each line's first byte came after its name.
std::unique_ptr<follow::Outputs> open_terminal_output(const std::vector<std::string>& names,
                                                      bool colour, bool timestamps);

}  // namespace vantrel::terminal
