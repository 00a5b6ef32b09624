/*
** What the entry point of an FLTK program tells the display before WinMain runs. Only
** platform/main_linux.cpp includes it; the command line and the tests, which link the
** headless display, never call it.
*/
#ifndef TBX_PLATFORM_FLTK_PROGRAM_H
#define TBX_PLATFORM_FLTK_PROGRAM_H

/* The program's name ("tamborix144"): the X window class of every window it shows, so
** that a desktop matches them to the launcher whose StartupWMClass names the program.
** FLTK writes WM_CLASS as the pair (name, name with a capital first letter). The string
** must stay valid for the whole run. */
void FltkSetProgramName(const char* name);

#endif
