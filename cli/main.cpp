// Entry of tamborix-cli-<N>: parses the command line (the front end has chosen this program
// by --steps, which is accepted again here when it names this program's step count) and
// runs the command.
#include <string>

#include "app/config.h"
#include "cli/cli.h"

int main(int argc, char** argv) {
  CliArgs args;
  int status = CliBegin(argc, argv, &args);
  if (status >= 0) return status;
  auto steps = args.options.find("steps");
  if (steps != args.options.end() && steps->second != std::to_string(STEP_COUNT))
    return CliUsageError(args.command, "--steps " + steps->second + " is not the step count of tamborix-cli-" +
                                           std::to_string(STEP_COUNT));
  if (args.command == "events") status = CliEvents(args);
  else if (args.command == "render") status = CliRender(args);
  else status = CliExport(args);
  return CliEndOutput(args.command, status);
}
