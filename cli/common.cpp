/*
** What the commands share beyond the run itself: decimal arguments, the checks of the FILE
** and OUT operands, and the one line a failure prints from the boxes the program showed.
*/
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "base/config.h"
#include "cli/cli.h"
#include "platform/testing.h"

bool CliNumber(const char* text, long lo, long hi, long* value) {
  if (!text || !*text) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (errno || *end || v < lo || v > hi) return false;
  *value = v;
  return true;
}

bool CliIsPlaylist(const std::string& path) {
  return path.size() >= 4 && strcasecmp(path.c_str() + path.size() - 4, ".txt") == 0;
}

/* True when OUT names the file FILE: the same file (links followed), or, when FILE exists
** only in another letter case (the program finds it so), the same path ignoring case. */
static bool SameFile(const std::string& file, const std::string& out) {
  namespace fs = std::filesystem;
  std::error_code ec;
  if (fs::equivalent(file, out, ec)) return true;
  if (fs::exists(file, ec) || !fs::exists(out, ec)) return false;
  std::string a = fs::absolute(file, ec).lexically_normal().string();
  std::string b = fs::absolute(out, ec).lexically_normal().string();
  return !ec && strcasecmp(a.c_str(), b.c_str()) == 0;
}

int CliCheckNames(const CliArgs& args, int outs) {
  const size_t wanted = 1 + static_cast<size_t>(outs);
  if (args.operands.size() != wanted)
    return CliUsageError(args.command, outs ? "FILE and OUT are needed" : "one FILE is needed");
  for (const std::string& name : args.operands) {
    if (name.empty()) return CliUsageError(args.command, "an empty file name");
    if (name.size() >= TBX_PATH) {
      std::fprintf(stderr, "tamborix-cli %s: %.40s...: a name longer than %d characters\n", args.command.c_str(),
                   name.c_str(), TBX_PATH - 1);
      return CLI_FAILED;
    }
  }
  if (outs && SameFile(args.operands[0], args.operands[1]))
    return CliUsageError(args.command, "OUT " + args.operands[1] + " is FILE itself");
  return -1;
}

std::string CliBoxLine(const char* skip) {
  static const char kSystem[] = "CreateFile Error:";
  std::string line, detail;
  for (const tbxtest::BoxRecord& box : tbxtest::MessageBoxes()) {
    std::string text = box.text;
    if (skip && text.rfind(skip, 0) == 0) continue;
    while (!text.empty() && text.back() == ' ') text.pop_back();
    for (char& c : text)
      if (c == '\n') c = ' ';
    if (text.rfind(kSystem, 0) == 0) {
      detail = text; /* said with the message it explains, which comes next */
      continue;
    }
    if (!detail.empty()) text += " (" + detail + ")";
    detail.clear();
    if (!line.empty()) line += "; ";
    line += text;
  }
  if (!detail.empty()) line += (line.empty() ? "" : "; ") + detail;
  return line;
}
