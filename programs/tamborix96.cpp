/* tamborix96: the program with 96 steps a pattern. */
#include "programs/program.h"
TBX_PROGRAM(96)
