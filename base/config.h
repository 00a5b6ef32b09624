/*
** The facts of the program being run that every subsystem may read: the step count of its
** pattern, the grid's place in the window and the character cell, learned once at start,
** and the sizes that never change. The four programs are one build; each names its step count when it starts
** (SetStepCount, from its three-line entry in programs/), and everything about the layout
** follows from it.
*/
#ifndef TBX_CONFIG_H
#define TBX_CONFIG_H

extern const char gszAppName[];  /* "Tamborix": the window class and every box's caption */

#define STEP_SLOTS 146   /* entries of every step array in the record */
#define TBX_PATH 260     /* MAX_PATH: every path and title buffer */

/* Set by SetStepCount before the window, the step clock or any other thread starts, and
** never changed while one runs; read everywhere through the names below. */
extern int giStepCount;  /* steps in a pattern: 144, 128, 96 or 72 (start value 144) */
extern int giGridLeft;   /* x of grid column 0 in character units: 26, or 25 with 72 steps */

#define STEP_COUNT (static_cast<int>(giStepCount))
#define GRID_LEFT (static_cast<int>(giGridLeft))
#define PANEL_LEFT (STEP_COUNT + GRID_LEFT + 2) /* x of the side panel, character units */
#define WINDOW_X (STEP_COUNT == 72 ? 0 : 10)    /* main window's x in pixels */

/* The character cell every position in the window is built on: the dialog base units in
** pixels (8 x 16 at 96 dpi), set when the main window is created. Window thread. */
extern int gcxChar, gcyChar;

/* Makes `steps` the program's step count and sets the grid origin that goes with it.
** Returns false, changing nothing, for any count other than the four programs'. */
bool SetStepCount(int steps);
/* Is `steps` the step count of one of the four programs? */
bool IsProgramStepCount(int steps);
/* The program's own name for its step count: "tamborix144" ... "tamborix72". */
const char* ProgramName(void);

#endif
