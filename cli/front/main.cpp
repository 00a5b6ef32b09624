// tamborix-cli: parses the command line (cli/args.cpp, as the helpers do), answers --help
// and --version itself, and runs tamborix-cli-<N> for --steps N (144, 128, 96 or 72;
// default 144) with the same arguments. The helper is looked for beside this program's
// real path (a build tree), then in TBX_LIBEXEC_REL from there (an installation: the
// install rules put the helpers in ${CMAKE_INSTALL_LIBEXECDIR}/tamborix), then in
// TBX_LIBEXEC_DIR, the installation's own folder, so a copy of this program placed
// anywhere still finds the installed helpers.
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/cli.h"

#ifndef TBX_LIBEXEC_REL
#define TBX_LIBEXEC_REL "../libexec/tamborix" /* from bin/ to the helpers' folder */
#endif

/* The folder of this program's real path (symbolic links resolved); "" when unknown. */
static std::string OwnFolder(void) {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "";
  self[n] = '\0';
  std::string dir(self);
  size_t slash = dir.rfind('/');
  return slash == std::string::npos ? "" : dir.substr(0, slash == 0 ? 1 : slash);
}

int main(int argc, char** argv) {
  CliArgs args;
  int status = CliBegin(argc, argv, &args);
  if (status >= 0) return status;
  auto steps = args.options.find("steps");
  const std::string helper = "tamborix-cli-" + (steps == args.options.end() ? std::string("144") : steps->second);

  std::vector<std::string> candidates;
  std::string own = OwnFolder();
  if (!own.empty()) {
    candidates.push_back(own + "/" + helper);
    candidates.push_back(own + "/" TBX_LIBEXEC_REL "/" + helper);
  }
#ifdef TBX_LIBEXEC_DIR
  candidates.push_back(std::string(TBX_LIBEXEC_DIR) + "/" + helper);
#endif
  std::vector<char*> av(argv, argv + argc);
  av.push_back(nullptr);
  for (std::string& path : candidates) {
    if (access(path.c_str(), X_OK) != 0) continue;
    av[0] = path.data();
    execv(path.c_str(), av.data());
    std::fprintf(stderr, "tamborix-cli: cannot run %s: %s\n", path.c_str(), std::strerror(errno));
    return CLI_FAILED;
  }
  std::fprintf(stderr, "tamborix-cli: %s not found beside %s or in %s/%s\n", helper.c_str(),
               own.empty() ? "this program" : own.c_str(), own.empty() ? "." : own.c_str(), TBX_LIBEXEC_REL);
  return CLI_FAILED;
}
