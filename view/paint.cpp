/*
** This file contains the painting of the main window's client area: the full repaint on
** WM_PAINT (percussion names with leaders, every cell, the marker strip, the side-panel
** labels, the keyboard), DrawRectangle for a single cell, DrawPiano for the keyboard
** column(s) and the play-position dot.
**
** Geometry is in character units: cx = gcxChar, cy = gcyChar. The grid has 49 rows, row 48
** at the top (y = cy) and row 0 at the bottom (ending at 25.5 cy); each cell is one unit
** wide and half a unit high, drawn one pixel wider and taller so that neighbouring outlines
** coincide. Fractions of a unit are truncated toward zero, computed in integers. The few
** lengths that are pixels rather than units (that overlap, the marker strip's smear) are
** pixels of the 96-dpi screen the character cell is 8 pixels wide on (ScreenPixels), so
** a screen with a larger cell draws the whole window larger alike.
**
** Step words are read only through StepGet: the step clock changes them concurrently.
*/
#include <cstring>

#include "pattern/pattern.h"
#include "view/view.h"

/* ---------------------------------------------------------------- tables */

/* General MIDI drum notes 35..81; entry i is shown beside row i + 2. */
static const char* const gszPerc[47] = {
    "Acou BaseDrm",   "Base Drum 1",   "Side Stick",    "AcousticSnare", "Hand Clap",
    "Electric Snare", "Low Floor Tom", "Closed Hi Hat", "High Floor Tom", "Pedal Hi Hat",
    "Low Tom",        "Open Hi Hat",   "Low-Mid Tom",   "High-Mid Tom",  "CrashCymbal 1",
    "High Tom",       "Ride Cymbal 1", "ChinesCymbal",  "Ride Bell",     "Tambourine",
    "Splash Cymbal",  "Cowbell",       "CrashCymbal 2", "Vibraslap",     "Ride Cymbal 2",
    "High Bongo",     "Low Bongo",     "Mute Hi Conga", "Open Hi Conga", "Low Conga",
    "High Timbale",   "Low Timbale",   "High Agogo",    "Low Agogo",     "Cabasa",
    "Maracas",        "Short Whistle", "Long Whistle",  "Short Guiro",   "Long Guiro",
    "Claves",         "Hi Wood Block", "Lo Wood Block", "Mute Cuica",    "Open Cuica",
    "Mute Triangle",  "Open Triangle"};

/* 1 = black key. Index (gTranspose + k) mod 12 for key k counted from the top: with the
** top row's pitch 94 - gTranspose, index 0 is A#, 1 A, 2 G# ... 11 B (downwards). */
static const unsigned char gPianoKbd[12] = {1, 0, 1, 0, 1, 0, 0, 1, 0, 1, 0, 0};

static const char szBPM[] = "Bpm";
static const char szVEL[] = "Vel";
static const char szMIDI[] = "MIDI";
static const char szNOTE[] = "Note";
static const char szBASE[] = "<---";

static int iIndexLast;   /* step of the play-position dot now drawn; window thread */

#define GRID_ROWS 49
#define SPLIT_ROW 27     /* highest chromatic row the red row's split shifts an octave down */

void ViewReset(void) { iIndexLast = 0; }

int ScreenPixels(int n) {
  const int perPixel = gcxChar / 8;
  return n * (perPixel > 1 ? perPixel : 1);
}

/* ---------------------------------------------------------------- cells */

RECT CellRect(int step, int row) {
  RECT rc;
  rc.left = (step + GRID_LEFT) * gcxChar;
  rc.top = ((48 - row) * 2 + 4) * gcyChar / 4;
  rc.right = (step + GRID_LEFT + 1) * gcxChar + ScreenPixels(1);
  rc.bottom = ((48 - row) * 2 + 6) * gcyChar / 4 + ScreenPixels(1);
  return rc;
}

/* Background of an empty ordinary cell: bar start or the C rows tan, the F rows green,
** sub-bar steps lavender, else pale yellow. A steps-per-bar value of 0 or less (only a
** damaged file can give one) marks no bars instead of dividing by zero. */
static COLORREF Background(int step, int row) {
  const int bpb = gBeatsPBar;
  if ((bpb > 0 && step % bpb == 0) || row % 12 == 2) return CLR_TAN;
  if (row % 12 == 7) return CLR_GREEN;
  int sub = 0;
  if (bpb == 12 || bpb == 16) sub = bpb / 2;
  if (bpb == 24) sub = bpb / 3;
  if (sub > 0 && step % sub == 0) return CLR_LAVENDER;
  return CLR_PLAIN;
}

static COLORREF ColourOf(int step, int row, bool perc, bool voice, int highlight) {
  if (perc && voice) return (row >= 2 && highlight) ? CLR_BOTH_CURSOR : CLR_BOTH;
  if (perc) return (row >= 2 && highlight) ? CLR_PERC_CURSOR : CLR_PERC;
  if (voice) return (row >= 2 && highlight) ? CLR_VOICE_CURSOR : CLR_VOICE;
  if (row == 1) return CLR_ROW1;
  if (row == 0) return CLR_ROW0;
  return highlight ? CLR_CURSOR : Background(step, row);
}

static bool Drawable(int step, int row) {
  return row >= 0 && row < GRID_ROWS && step >= 0 && step < STEP_COUNT;
}

COLORREF CellColour(int step, int row, int highlight) {
  if (!Drawable(step, row)) return CLR_WHITE;
  return ColourOf(step, row, CellPerc(step, row) != 0, CellVoice(step, row) != 0, highlight);
}

void DrawRectangle(HDC hdc, int step, int row, const uint32_t* perc, const uint32_t* voice,
                   int highlight) {
  /* Rows above 48 are never shown and cells outside the grid would paint over the names
  ** or the keyboard: both draw nothing, like a negative row. */
  if (!Drawable(step, row)) return;
  const uint32_t bit = 1u << (row > 31 ? row - 32 : row);
  const bool p = (StepGet(perc, step) & bit) != 0;
  const bool v = (StepGet(voice, step) & bit) != 0;
  const RECT rc = CellRect(step, row);

  HBRUSH brush = CreateSolidBrush(ColourOf(step, row, p, v, highlight));
  SelectObject(hdc, brush);
  Rectangle(hdc, rc.left, rc.top, rc.right, rc.bottom);

  HBRUSH mark = nullptr;
  if (row == SPLIT_ROW) {
    mark = CreateSolidBrush(CLR_BLACK);
    SelectObject(hdc, mark);
    Rectangle(hdc, rc.left, ((48 - SPLIT_ROW) * 2 + 5) * gcyChar / 4 + ScreenPixels(3), rc.right, rc.bottom);
  }
  SelectObject(hdc, GetStockObject(WHITE_BRUSH));
  DeleteObject(brush);
  if (mark) DeleteObject(mark);
}

void DrawCell(HDC hdc, int step, int row, int highlight) {
  if (row < 32)
    DrawRectangle(hdc, step, row, gTbro.PercL, gTbro.VoiceL, highlight);
  else
    DrawRectangle(hdc, step, row, gTbro.PercH, gTbro.VoiceH, highlight);
}

/* ---------------------------------------------------------------- keyboard */

void DrawPiano(HDC hdc) {
  const int cx = gcxChar;
  const int right = (STEP_COUNT + GRID_LEFT) * cx;
  /* The transposition comes from files too; keep the table index in 0..11 whatever it is. */
  const int transpose = ((gTranspose % 12) + 12) % 12;

  for (int k = 0; k < 47; k++) {
    const RECT rc = CellRect(0, 48 - k);
    const bool black = gPianoKbd[(transpose + k) % 12] != 0;
    SelectObject(hdc, GetStockObject(black ? BLACK_BRUSH : WHITE_BRUSH));
    if (STEP_COUNT != 72) Rectangle(hdc, 25 * cx, rc.top, 26 * cx + ScreenPixels(1), rc.bottom);
    Rectangle(hdc, right, rc.top, right + cx + ScreenPixels(1), rc.bottom);
  }
  SelectObject(hdc, GetStockObject(WHITE_BRUSH));
}

/* ---------------------------------------------------------------- full repaint */

static void TextAt(HDC hdc, int x, int y, const char* text) {
  MoveToEx(hdc, x, y, nullptr);
  TextOutA(hdc, 0, 0, text, (int)strlen(text));
}

/* Two staggered columns of names, each with a leader to its row's middle at 25 cx (the
** left keyboard's edge, or the grid's in the 72-step program). */
static void PaintNames(HDC hdc) {
  const int cx = gcxChar, cy = gcyChar;
  for (int i = 0; i < 47; i++) {
    const int x = (i % 2 == 0) ? 2 * cx / 10 : 128 * cx / 10;
    const int y = (2 * i + 3) * cy / 4;
    POINT end;
    TextAt(hdc, x, y, gszPerc[46 - i]);
    GetCurrentPositionEx(hdc, &end);
    MoveToEx(hdc, end.x + cx / 4, y + cy / 2, nullptr);
    LineTo(hdc, 25 * cx, y + cy / 2);
  }
}

/* White "||" over every marker position clears old markers (the repaint does not erase),
** then the two current markers in black. */
static void PaintMarkers(HDC hdc) {
  const int cx = gcxChar;
  SetTextColor(hdc, CLR_WHITE);
  for (int s = 0; s < STEP_COUNT; s++) {
    const int x = (s + GRID_LEFT - 1) * cx;
    TextAt(hdc, x - ScreenPixels(2), 0, "||");
    TextAt(hdc, x, 0, "||");
    TextAt(hdc, x + ScreenPixels(2), 0, "||");
  }
  SetTextColor(hdc, CLR_BLACK);
  TextAt(hdc, (HeaderGet(gTbro.LoopStart) + GRID_LEFT - 1) * cx, 0, "|:");
  TextAt(hdc, (HeaderGet(gTbro.LoopEnd) + GRID_LEFT) * cx, 0, ":|");
}

static void PaintPanelLabels(HDC hdc) {
  const int cx = gcxChar, cy = gcyChar;
  const int x = (PANEL_LEFT * 10 - 7) * cx / 10;
  TextAt(hdc, x, 0, szBPM);
  TextAt(hdc, PANEL_LEFT * cx, 12 * cy, szVEL);
  TextAt(hdc, x, 225 * cy / 10, szMIDI);
  TextAt(hdc, x, 232 * cy / 10, szNOTE);
  TextAt(hdc, x, 238 * cy / 10, szBASE);
}

LRESULT OnPaint(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC hdc = BeginPaint(hwnd, &ps);

  SetTextAlign(hdc, TA_UPDATECP);
  SetBkMode(hdc, TRANSPARENT);
  PaintNames(hdc);

  SetTextAlign(hdc, TA_LEFT | TA_TOP | TA_NOUPDATECP);
  for (int s = 0; s < STEP_COUNT; s++)
    for (int r = 0; r < GRID_ROWS; r++) DrawCell(hdc, s, r, 0);

  SetTextAlign(hdc, TA_UPDATECP);
  SetBkMode(hdc, TRANSPARENT);
  PaintMarkers(hdc);
  PaintPanelLabels(hdc);

  DrawPiano(hdc);
  EndPaint(hwnd, &ps);
  return 0;
}

/* ---------------------------------------------------------------- play-position dot */

static void DotAt(HDC hdc, int step, int stockBrush) {
  SelectObject(hdc, GetStockObject(stockBrush));
  Ellipse(hdc, (step + GRID_LEFT) * gcxChar, 103 * gcyChar / 4, (step + GRID_LEFT + 1) * gcxChar,
          105 * gcyChar / 4);
}

LRESULT OnPlayPosition(HWND hwnd, WPARAM step) {
  if (step >= (WPARAM)STEP_COUNT) return 0;   /* no column below the grid to mark */
  HDC hdc = GetDC(hwnd);
  SelectObject(hdc, GetStockObject(NULL_PEN));
  DotAt(hdc, iIndexLast, WHITE_BRUSH);
  iIndexLast = (int)step;
  DotAt(hdc, iIndexLast, BLACK_BRUSH);
  ReleaseDC(hwnd, hdc);
  return 0;
}
