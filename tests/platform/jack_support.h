// Helpers of the tests run through sound servers by the e2e scripts (tests/e2e/jack_*.sh,
// pulse.sh): the variables the script sets, the servers' tools, and waiting for them.
#ifndef TBX_TESTS_PLATFORM_JACK_SUPPORT_H
#define TBX_TESTS_PLATFORM_JACK_SUPPORT_H

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

inline std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v ? v : "";
}

/* The standard output of a shell command (its errors are dropped). */
inline std::string Sh(const std::string& command) {
  std::string out;
  FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
  if (!p) return out;
  char buf[512];
  while (fgets(buf, sizeof buf, p)) out += buf;
  pclose(p);
  return out;
}

/* Waits (at most `ms`) for `done`; how long it took, or -1. */
template <class Done>
int WaitMs(int ms, Done done) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const int took = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
    if (done()) return took;
    if (took > ms) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

#endif
