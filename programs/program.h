/*
** The entry of each of the four programs, which differ only in their step count: one build
** of everything, and one three-line source a program that names its count.
**
** On Linux the program's main sets the count and runs the FLTK entry (help, version, the
** command line, WinMain). On Windows the C runtime calls WinMain itself, so the count is set
** while the program's own objects are initialised, before WinMain runs.
*/
#ifndef TBX_PROGRAMS_PROGRAM_H
#define TBX_PROGRAMS_PROGRAM_H

#include "base/config.h"

#ifdef _WIN32
#define TBX_PROGRAM(steps) [[maybe_unused]] static const bool kStepsSet = SetStepCount(steps);
#else
#include "platform/fltk/program.h"
#define TBX_PROGRAM(steps)                                    \
  int main(int argc, char** argv) {                           \
    SetStepCount(steps);                                      \
    return LinuxMain(argc, argv, ProgramName(), STEP_COUNT);  \
  }
#endif

#endif
