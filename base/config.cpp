/*
** This file contains the program's step count, grid origin and character cell
** (base/config.h).
*/
#include "base/config.h"

#include <cstdio>

const char gszAppName[] = "Tamborix";
int giStepCount = 144;
int giGridLeft = 26;
int gcxChar, gcyChar;

/* Steps and grid origin of the four programs. */
static const struct {
  int steps, gridLeft;
} kPrograms[] = {{144, 26}, {128, 26}, {96, 26}, {72, 25}};

bool IsProgramStepCount(int steps) {
  for (const auto& p : kPrograms)
    if (p.steps == steps) return true;
  return false;
}

bool SetStepCount(int steps) {
  for (const auto& p : kPrograms) {
    if (p.steps != steps) continue;
    giStepCount = p.steps;
    giGridLeft = p.gridLeft;
    return true;
  }
  return false;
}

const char* ProgramName(void) {
  static char name[16];
  std::snprintf(name, sizeof name, "tamborix%d", giStepCount);
  return name;
}
