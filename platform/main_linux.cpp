/*
** The Linux entry point of the programs: main hands the command line to WinMain the way
** Windows does, as one string, here the program's arguments joined by one space (so a
** name with blanks given as one argument arrives whole, without quotes).
*/
#include <string>

#include "platform/win32.h"

int main(int argc, char** argv) {
  std::string cmdLine;
  for (int i = 1; i < argc; i++) {
    if (i > 1) cmdLine += ' ';
    cmdLine += argv[i];
  }
  return WinMain(GetModuleHandleA(nullptr), nullptr, cmdLine.data(), SW_SHOWNORMAL);
}
