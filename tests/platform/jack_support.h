// Helpers of the tests run through a JACK server by the e2e scripts (tests/e2e/jack_*.sh):
// the variables the script sets, and the JACK tools of the server the test runs on.
#ifndef TBX_TESTS_PLATFORM_JACK_SUPPORT_H
#define TBX_TESTS_PLATFORM_JACK_SUPPORT_H

#include <cstdio>
#include <cstdlib>
#include <string>

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

#endif
