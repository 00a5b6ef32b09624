/*
** The Linux entry of the FLTK programs and what it tells the display before WinMain runs.
** Only the programs' entries (programs/) and platform/main_linux.cpp include it; the
** command line and the tests, which link the headless display, never call it.
*/
#ifndef TBX_PLATFORM_FLTK_PROGRAM_H
#define TBX_PLATFORM_FLTK_PROGRAM_H

/* The program's name ("tamborix144"): the X window class of every window it shows, so
** that a desktop matches them to the launcher whose StartupWMClass names the program.
** FLTK writes WM_CLASS as the pair (name, name with a capital first letter). The string
** must stay valid for the whole run. */
void FltkSetProgramName(const char* name);

/* The Linux entry of a program named `program` ("tamborix144") with `steps` steps, whose
** step count is already set: answers --help and --version, else hands the arguments to
** WinMain as one command line and returns its exit code. */
int LinuxMain(int argc, char** argv, const char* program, int steps);

#endif
