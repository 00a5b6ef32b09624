// Entry of tamborix-cli: parses the command line, makes --steps N (default 144) the step
// count of the program it works as, and runs the command.
#include <cstdlib>
#include <string>

#include "base/config.h"
#include "cli/cli.h"

int main(int argc, char** argv) {
  CliArgs args;
  int status = CliParseArgs(argc, argv, &args);
  if (status >= 0) return status;
  auto steps = args.options.find("steps");
  if (steps != args.options.end()) SetStepCount(std::atoi(steps->second.c_str()));  /* checked by the parser */
  if (args.command == "events") return CliEvents(args);
  if (args.command == "render") return CliRender(args);
  if (args.command == "import") return CliImport(args);
  return CliExport(args);
}
