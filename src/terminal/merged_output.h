// Several sources on standard output: each source's stream is cut into whole lines, and lines of
// different sources never mix; each line goes behind its source's name ("alpha | line").
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "follow/lines.h"
#include "follow/sink.h"

namespace vantrel::terminal {

// Standard output for several sources: "NAME | line", each name padded to the longest and,
// when `colour`, coloured per source; with `timestamps`, "NAME | 12:00:01.234 line", the time
// the line's first byte came.
std::unique_ptr<follow::Outputs> open_merged_output(const std::vector<std::string>& names,
                                                    bool colour, bool timestamps);

// The prefix before each line of source `index`: its name padded to `width`, then " | ".
std::string line_prefix(const std::string& name, std::size_t width, std::size_t index, bool colour);

}  // namespace vantrel::terminal
