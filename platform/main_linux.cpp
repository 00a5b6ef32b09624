/*
** The Linux entry point of the programs. A first argument "--help" or "--version" is
** answered on stdout before anything else (no display is opened, exit code 0); a first
** argument "--" is dropped, so that a file whose name starts with "--" can still be given.
** Everything else is the file to load: main hands the command line to WinMain the way
** Windows does, as one string, here the program's arguments joined by one space (so a
** name with blanks given as one argument arrives whole, without quotes).
**
** The name of the program ("tamborix" and the step count) is also the X window class of
** its windows, which the installed launcher names in StartupWMClass. Each program's own
** three-line entry (programs/) sets its step count and calls LinuxMain.
*/
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/fltk/program.h"
#include "platform/win32.h"

#ifndef TBX_VERSION
#define TBX_VERSION "0.1.0"
#endif

static void PrintHelp(const char* program, int steps) {
  std::printf(
      "Usage: %s [FILE]\n"
      "       %s --help | --version\n"
      "\n"
      "A MIDI step sequencer: a pattern of %d steps of General MIDI drums and one chromatic\n"
      "instrument, played in a loop through the built-in synthesizer or a MIDI port.\n"
      "\n"
      "FILE is a project file (.tbx) to load at start, as \"Load / Play / Edit File\" does;\n"
      "all arguments together form its name. A first argument \"--\" is dropped, so that a\n"
      "name starting with \"--\" can be given.\n"
      "\n"
      "  --help     show this help and exit\n"
      "  --version  show the version and exit\n",
      program, program, steps);
}

int LinuxMain(int argc, char** argv, const char* program, int steps) {
  int first = 1;
  if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
    PrintHelp(program, steps);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
  }
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("%s %s\n", program, TBX_VERSION);
    return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
  }
  if (argc > 1 && std::strcmp(argv[1], "--") == 0) first = 2;
  std::string cmdLine;
  for (int i = first; i < argc; i++) {
    if (i > first) cmdLine += ' ';
    cmdLine += argv[i];
  }
  FltkSetProgramName(program);
  return WinMain(GetModuleHandleA(nullptr), nullptr, cmdLine.data(), SW_SHOWNORMAL);
}
