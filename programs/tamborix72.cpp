/* tamborix72: the program with 72 steps a pattern. */
#include "programs/program.h"
TBX_PROGRAM(72)
