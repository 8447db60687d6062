#include "terminal/terminal.h"

#include <unistd.h>

#include "terminal/merged_output.h"
#include "terminal/output_queue.h"

namespace vantrel::terminal {

std::unique_ptr<follow::Outputs> open_terminal_output(const std::vector<std::string>& names,
                                                      bool colour, bool timestamps) {
  if (names.size() > 1) return open_merged_output(names, colour, timestamps);
  return std::make_unique<follow::SingleOutput>(
      std::make_unique<OutputQueue>(STDOUT_FILENO, kOutputLimit));
}

}  // namespace vantrel::terminal
