/* tamborix128: the program with 128 steps a pattern. */
#include "programs/program.h"
TBX_PROGRAM(128)
