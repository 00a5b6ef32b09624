// Entry of tamborix-cli-<N>: dispatches the command word (argv[1]); --steps has already
// chosen this program, and is accepted again here when it matches.
#include <cstdio>
#include <cstring>

#include "app/config.h"
#include "cli/cli.h"

static int Usage() {
  std::fprintf(stderr,
               "usage: tamborix-cli events [--steps N] [--count K] [--velocity V] [--mute M] FILE\n"
               "       tamborix-cli render [--steps N] [--seconds S] FILE OUT.wav\n"
               "       tamborix-cli export [--steps N] [--format gm|1] FILE OUT.mid\n");
  return 2;
}

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const char* cmd = argv[1];
  if (std::strcmp(cmd, "events") == 0) return CliEvents(argc - 1, argv + 1);
  if (std::strcmp(cmd, "render") == 0) return CliRender(argc - 1, argv + 1);
  if (std::strcmp(cmd, "export") == 0) return CliExport(argc - 1, argv + 1);
  return Usage();
}
