/*
** Build constants of the four programs. Each program compiles the same sources with its
** own STEP_COUNT (steps in a pattern) and GRID_LEFT (x of grid column 0, in character
** units); the build passes both. Everything else about the layout follows from them.
*/
#ifndef TBX_CONFIG_H
#define TBX_CONFIG_H

#ifndef STEP_COUNT
#define STEP_COUNT 144
#endif
#ifndef GRID_LEFT
#define GRID_LEFT 26
#endif

#define PANEL_LEFT (STEP_COUNT + GRID_LEFT + 2) /* x of the side panel, character units */
#define STEP_SLOTS 146                          /* entries of every step array in the record */
#define WINDOW_X (STEP_COUNT == 72 ? 0 : 10)    /* main window's x in pixels */
#define TBX_PATH 260                            /* MAX_PATH: every path and title buffer */

static_assert(STEP_COUNT == 144 || STEP_COUNT == 128 || STEP_COUNT == 96 || STEP_COUNT == 72,
              "STEP_COUNT must be one of the four programs' step counts");
static_assert(STEP_COUNT <= STEP_SLOTS, "a pattern never has more steps than the record");

#endif
