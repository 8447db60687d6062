// The viewer's entry: command line, configuration file, then the stream until it ends.
#include "viewer/viewer.h"

int main(int argc, char** argv) {
  using namespace vantrel::viewer;
  ViewerOptions options;
  switch (parse_viewer_arguments(argc, argv, options)) {
    case ArgumentsResult::kHelp:
      return kExitHelp;
    case ArgumentsResult::kError:
      return kExitBadSetup;
    case ArgumentsResult::kRun:
      break;
  }
  if (!load_viewer_settings(argc > 0 ? argv[0] : nullptr, options)) return kExitBadSetup;
  return options.stats ? print_counters(options) : run_viewer(options);
}
