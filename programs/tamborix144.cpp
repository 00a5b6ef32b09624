/* tamborix144: the program with 144 steps a pattern. */
#include "programs/program.h"
TBX_PROGRAM(144)
