/*
** Painting of the main window's client area: the staggered percussion names with their
** leaders, the piano keyboard column(s), the grid cells, the loop markers, the side-panel
** labels and the play-position dot. All geometry is in character units (gcxChar, gcyChar).
** DrawRectangle is also called from the timer thread (MIDI input lands in the pattern);
** the platform layer hands such drawing to the window thread.
*/
#ifndef TBX_VIEW_H
#define TBX_VIEW_H

#include <cstdint>

#include "base/config.h"
#include "platform/win32.h"

/* Colours of the client area (COLORREF, 0x00bbggrr). */
enum : COLORREF {
  CLR_BLACK = 0x000000,
  CLR_WHITE = 0xffffff,
  CLR_TAN = 0x99ccdd,        /* bar starts and the rows of the note C */
  CLR_GREEN = 0x99ddcc,      /* rows of the note F */
  CLR_LAVENDER = 0xeedddd,   /* sub-bar steps of 12-, 16- and 24-step bars */
  CLR_PLAIN = 0xeeffff,      /* every other empty cell */
  CLR_BOTH = CLR_BLACK,      /* percussion and instrument note in one cell */
  CLR_BOTH_CURSOR = 0x999999,
  CLR_PERC = 0xbb00bb,
  CLR_PERC_CURSOR = 0x6600ff,
  CLR_VOICE = 0x99aa00,
  CLR_VOICE_CURSOR = 0xeeee00,
  CLR_ROW1 = 0xffddcc,       /* empty cell of the blue flag row (free accent, release) */
  CLR_ROW0 = 0xddddff,       /* empty cell of the red flag row (keyboard split) */
  CLR_CURSOR = 0xff0000,     /* empty cell under the cursor */
};


void ViewReset(void);                    /* the play-position dot's last step back to 0 */

/* Paints cell (step, row) from bit row (row - 32 above 31) of element step of the two
** arrays the caller passes (PercL/VoiceL for rows 0..31, PercH/VoiceH above). highlight 1 =
** the cursor cell. A negative row draws nothing. */
void DrawRectangle(HDC hdc, int step, int row, const uint32_t* perc, const uint32_t* voice,
                   int highlight);
/* The same, choosing the arrays of gTbro that hold the row. */
void DrawCell(HDC hdc, int step, int row, int highlight);
void DrawPiano(HDC hdc);

RECT CellRect(int step, int row);        /* pixel rectangle of a cell as DrawRectangle draws it */
/* n pixels of the 96-dpi screen (character cell 8 x 16) in pixels of this one: n times the
** cell's width / 8, at least n. */
int ScreenPixels(int n);
COLORREF CellColour(int step, int row, int highlight); /* the colour DrawRectangle would use */

LRESULT OnPaint(HWND hwnd);                   /* WM_PAINT: the full repaint */
LRESULT OnPlayPosition(HWND hwnd, WPARAM step); /* message 1025: move the play-position dot */

#endif
