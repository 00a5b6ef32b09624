// tamborix-cli: finds --steps N among the arguments (144, 128, 96 or 72; default 144) and
// runs tamborix-cli-<N> from its own folder with the same arguments.
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  std::string steps = "144";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--steps") == 0 && i + 1 < argc) steps = argv[i + 1];
    else if (std::strncmp(argv[i], "--steps=", 8) == 0) steps = argv[i] + 8;
  }
  if (steps != "144" && steps != "128" && steps != "96" && steps != "72") {
    std::fprintf(stderr, "tamborix-cli: --steps must be 144, 128, 96 or 72\n");
    return 2;
  }
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = ".";
  if (n > 0) {
    self[n] = 0;
    dir = self;
    dir = dir.substr(0, dir.rfind('/'));
  }
  std::string target = dir + "/tamborix-cli-" + steps;
  std::vector<char*> args(argv, argv + argc);
  args.push_back(nullptr);
  args[0] = target.data();
  execv(target.c_str(), args.data());
  std::perror(target.c_str());
  return 127;
}
