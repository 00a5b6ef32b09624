/*
** This file contains the grid's input: the pointer tracking of WM_MOUSEMOVE, the three
** button-down messages (cells and the loop markers), the arrow keys that move the cursor
** cell and the pointer with it, and the character keys. The edits themselves are the
** pattern's (pattern/edit.cpp); this side hit-tests, keeps the cursor highlight and draws.
**
** Geometry is in character units: column = x / cx - GRID_LEFT, row = 50 - 2y / cy. Rows
** 0..48 are the grid (row 0 at the bottom), rows 49 and 50 the marker strip above it.
** Cells changed here are drawn at once through a window DC; nothing is invalidated.
*/
#include "app/app.h"
#include "pattern/pattern.h"
#include "view/view.h"

static int16_t gOldMouseX = -1, gOldMouseY = -1; /* the highlighted cell; -1 none */
static int16_t gMTrackX = 0, gMTrackY = 0;       /* last pointer position, client pixels */

void GridReset(void) {
  gOldMouseX = gOldMouseY = -1;
  gMTrackX = gMTrackY = 0;
}

/* Client pixels to grid column and row; false while the character cell is unknown. */
static bool HitTest(int x, int y, int* column, int* row) {
  if (gcxChar <= 0 || gcyChar <= 0) return false;
  *column = x / gcxChar - GRID_LEFT;
  *row = 50 - (2 * y) / gcyChar;
  return true;
}

/* Redraws the cell that carries the highlight without it (rows 0 and 1 never show one). */
static void TakeHighlightOff(HDC hdc) {
  if (gOldMouseX >= 0 && gOldMouseY > 1) DrawCell(hdc, gOldMouseX, gOldMouseY, 0);
}

/* ---------------------------------------------------------------- loop markers */

/* Marker glyphs are text in the strip above the grid: the old one is overwritten by two
** blanks in white on the DC's opaque white background, the new one written in black. */
static void MoveMarker(HDC hdc, int oldX, int newX, const char* glyph) {
  SetTextColor(hdc, CLR_WHITE);
  TextOutA(hdc, oldX, 0, "  ", 2);
  SetTextColor(hdc, CLR_BLACK);
  TextOutA(hdc, newX, 0, glyph, 2);
}

/* The right button moves the end marker, the others the start marker. */
static void ClickMarkerStrip(HDC hdc, UINT message, int column) {
  const bool end = message == WM_RBUTTONDOWN;
  const int oldColumn = HeaderGet(end ? gTbro.LoopEnd : gTbro.LoopStart);
  if (!MoveLoopMarker(end, column)) return;
  if (end)
    MoveMarker(hdc, (oldColumn + GRID_LEFT) * gcxChar, (column + GRID_LEFT) * gcxChar, ":|");
  else
    MoveMarker(hdc, (oldColumn + GRID_LEFT - 1) * gcxChar, (column + GRID_LEFT - 1) * gcxChar, "|:");
}

/* ---------------------------------------------------------------- mouse */

LRESULT OnMouseMove(HWND hwnd) {
  POINT pt;
  if (!GetCursorPos(&pt)) return 0;
  ScreenToClient(hwnd, &pt);
  gMTrackX = static_cast<int16_t>(pt.x);
  gMTrackY = static_cast<int16_t>(pt.y);
  return 0;
}

LRESULT OnButtonDown(HWND hwnd, UINT message, LPARAM lParam) {
  int x = static_cast<int16_t>(LOWORD(lParam));
  int y = static_cast<int16_t>(HIWORD(lParam));
  int column, row;
  if (!HitTest(x, y, &column, &row)) return 0;
  gMouseX = static_cast<int16_t>(column);
  gMouseY = static_cast<int16_t>(row);

  HistoryBegin();  /* a click (a cell, a marker) is one step */
  HDC hdc = GetDC(hwnd);
  if (row > 48) ClickMarkerStrip(hdc, message, column);
  TakeClickBackup();
  TakeHighlightOff(hdc);

  if (ColumnOnGrid(column) && RowOnGrid(row)) {
    const int button = message == WM_LBUTTONDOWN ? BUTTON_LEFT
                       : message == WM_RBUTTONDOWN ? BUTTON_RIGHT : BUTTON_MIDDLE;
    ClickCell(button, column, row);
    DrawCell(hdc, column, row, 1);
    gOldMouseX = static_cast<int16_t>(column);
    gOldMouseY = static_cast<int16_t>(row);
  }
  ReleaseDC(hwnd, hdc);
  gbFileChanged = 1;  /* every press counts as touching the pattern, even one that changed nothing */
  HistoryCommit();
  ShowUndoState();
  return 0;
}

/* ---------------------------------------------------------------- arrow keys */

void handleKeydown(HWND hwnd, WPARAM key) {
  int column, row;
  if (!HitTest(gMTrackX, gMTrackY, &column, &row)) return;
  /* Column STEP_COUNT, the right keyboard column, is a cursor position too. */
  if (column < 0 || column > STEP_COUNT || !RowOnGrid(row)) return;

  HDC hdc = GetDC(hwnd);
  TakeHighlightOff(hdc);

  int oldColumn = gMouseX;
  switch (key) {
    case VK_UP: if (row < 48) row++; break;
    case VK_DOWN: if (row > 0) row--; break;
    case VK_LEFT: if (column > 0) column--; break;
    case VK_RIGHT: if (column < STEP_COUNT) column++; break;
    default: break;
  }
  gMouseX = gOldMouseX = static_cast<int16_t>(column);
  gMouseY = gOldMouseY = static_cast<int16_t>(row);
  /* The backup belongs to the column it was taken from; a bar key must not write it into
  ** the column the cursor has moved to. */
  if (column != oldColumn) DropClickBackup();

  DrawCell(hdc, column, row, 1);
  ReleaseDC(hwnd, hdc);

  /* The pointer follows to the cell's centre; its WM_MOUSEMOVE updates gMTrackX/Y. */
  POINT pt;
  pt.x = (column + GRID_LEFT) * gcxChar + gcxChar / 2;
  pt.y = gcyChar / 4 + ((50 - row) * gcyChar) / 2;
  ClientToScreen(hwnd, &pt);
  SetCursorPos(pt.x, pt.y);
}

/* ---------------------------------------------------------------- character keys */

/* A key is one step, also one that first takes a pending click back. */
LRESULT OnChar(HWND hwnd, WPARAM wParam) {
  HistoryBegin();
  const int redraw = EditKey(static_cast<int>(wParam));
  HistoryCommit();
  ShowUndoState();
  switch (redraw) {
    case REDRAW_CURSOR: {
      HDC hdc = GetDC(hwnd);
      DrawCell(hdc, gMouseX, gMouseY, 1);
      ReleaseDC(hwnd, hdc);
      break;
    }
    case REDRAW_ALL:
      InvalidateRect(hwnd, nullptr, FALSE);
      UpdateWindow(hwnd);
      break;
    case REDRAW_UPDATE:
      UpdateWindow(hwnd);
      break;
    default:
      break;
  }
  return 0;
}
