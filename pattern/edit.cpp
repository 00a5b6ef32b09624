/*
** This file contains the editing of the grid by mouse and keyboard: the pointer tracking of
** WM_MOUSEMOVE, the three button-down messages (cells and the loop markers), the arrow keys
** that move the cursor cell and the pointer with it, the character keys, and the one-column
** click backup that a bar or chord key takes back before it acts.
**
** Geometry is in character units: column = x / cx - GRID_LEFT, row = 50 - 2y / cy. Rows
** 0..48 are the grid (row 0 at the bottom), rows 49 and 50 the marker strip above it.
** Cells changed here are drawn at once through a window DC; nothing is invalidated.
**
** Columns outside the grid. A click may land left of the grid or on the right keyboard
** column, and the right arrow may reach column STEP_COUNT. Such a column is recorded as the
** cursor (the bar keys then find no bar), but it takes no click backup and no key edits it:
** the record is never read or written outside its steps through a cursor column.
*/
#include "app/app.h"
#include "pattern/pattern.h"
#include "view/view.h"

/* ---------------------------------------------------------------- helpers */

static bool ColumnOnGrid(int column) { return column >= 0 && column < STEP_COUNT; }
static bool RowOnGrid(int row) { return row >= 0 && row <= 48; }

/* Client pixels to grid column and row; false while the character cell is unknown. */
static bool HitTest(int x, int y, int* column, int* row) {
  if (gcxChar <= 0 || gcyChar <= 0) return false;
  *column = x / gcxChar - GRID_LEFT;
  *row = 50 - (2 * y) / gcyChar;
  return true;
}

/* Redraws the cell that carries the highlight without it (rows 0 and 1 never show one). */
static void TakeHighlightOff(HDC hdc) {
  if (hdc && gOldMouseX >= 0 && gOldMouseY > 1) DrawCell(hdc, gOldMouseX, gOldMouseY, 0);
}

/* The bits of the backup column's four words that the click (or D, V) itself changed.
** UndoMouse takes back only these: while a sequence records, the step clock lands MIDI
** input in the same words, and writing the whole backup back would erase those notes.
** Window thread. */
static uint32_t clickPercL, clickPercH, clickVoiceL, clickVoiceH;

/* The four words of the cursor column before an edit. Off the grid there is nothing a
** later key could take back, so a pending backup is dropped instead. */
static void TakeClickBackup(void) {
  clickPercL = clickPercH = clickVoiceL = clickVoiceH = 0;
  if (!ColumnOnGrid(gMouseX)) {
    gbNewBDown = 0;
    return;
  }
  gVoiceBackL = StepGet(gTbro.VoiceL, gMouseX);
  gVoiceBackH = StepGet(gTbro.VoiceH, gMouseX);
  gPercBackL = StepGet(gTbro.PercL, gMouseX);
  gPercBackH = StepGet(gTbro.PercH, gMouseX);
  gbNewBDown = 1;
}

/* Records the cell bits of `row` that the edit after a backup may have changed. */
static void NoteClickEdit(int row, bool perc, bool voice) {
  const uint32_t bit = 1u << (row & 31);
  if (perc) (row < 32 ? clickPercL : clickPercH) |= bit;
  if (voice) (row < 32 ? clickVoiceL : clickVoiceH) |= bit;
}

int CursorBarSteps(void) {
  int steps = gBeatsPBar;
  if (!ColumnOnGrid(gMouseX) || steps < 1 || steps > 24) return 0;
  return steps;
}

void DropClickBackup(void) { gbNewBDown = 0; }

void DropClickBackupIn(int first, int count) {
  if (gMouseX >= first && gMouseX < first + count) gbNewBDown = 0;
}

/* ---------------------------------------------------------------- loop markers */

/* Marker glyphs are text in the strip above the grid: the old one is overwritten by two
** blanks in white on the DC's opaque white background, the new one written in black. */
static void MoveMarker(HDC hdc, int oldX, int newX, const char* glyph) {
  if (!hdc) return;
  SetTextColor(hdc, CLR_WHITE);
  TextOutA(hdc, oldX, 0, "  ", 2);
  SetTextColor(hdc, CLR_BLACK);
  TextOutA(hdc, newX, 0, glyph, 2);
}

/* The right button moves the end marker, the others the start marker; the play range
** keeps at least one step (LoopStart < LoopEnd). */
static void ClickMarkerStrip(HDC hdc, UINT message, int column) {
  int loopStart = HeaderGet(gTbro.LoopStart);
  int loopEnd = HeaderGet(gTbro.LoopEnd);
  if (message == WM_RBUTTONDOWN) {
    if (column < 1 || column > STEP_COUNT || column <= loopStart) return;
    MoveMarker(hdc, (loopEnd + GRID_LEFT) * gcxChar, (column + GRID_LEFT) * gcxChar, ":|");
    HeaderSet(gTbro.LoopEnd, static_cast<int16_t>(column));
  } else {
    if (column < 0 || column > STEP_COUNT || column >= loopEnd) return;
    MoveMarker(hdc, (loopStart + GRID_LEFT - 1) * gcxChar, (column + GRID_LEFT - 1) * gcxChar,
               "|:");
    HeaderSet(gTbro.LoopStart, static_cast<int16_t>(column));
  }
  gbNeedSave = 1;
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

  HDC hdc = hwnd ? GetDC(hwnd) : NULL;
  if (row > 48) ClickMarkerStrip(hdc, message, column);
  TakeClickBackup();
  TakeHighlightOff(hdc);

  if (ColumnOnGrid(column) && RowOnGrid(row)) {
    if (message == WM_LBUTTONDOWN)
      CellTogglePerc(column, row);
    else if (message == WM_RBUTTONDOWN)
      CellToggleVoice(column, row);
    else
      CellClear(column, row);
    NoteClickEdit(row, message != WM_RBUTTONDOWN, message != WM_LBUTTONDOWN);
    if (hdc) DrawCell(hdc, column, row, 1);
    gbNeedSave = 1;
    gOldMouseX = static_cast<int16_t>(column);
    gOldMouseY = static_cast<int16_t>(row);
  }
  if (hdc) ReleaseDC(hwnd, hdc);
  gbFileChanged = 1;  /* every press counts as touching the pattern, even one that changed nothing */
  return 0;
}

/* ---------------------------------------------------------------- arrow keys */

void handleKeydown(HWND hwnd, WPARAM key) {
  int column, row;
  if (!HitTest(gMTrackX, gMTrackY, &column, &row)) return;
  /* Column STEP_COUNT, the right keyboard column, is a cursor position too. */
  if (column < 0 || column > STEP_COUNT || !RowOnGrid(row)) return;

  HDC hdc = hwnd ? GetDC(hwnd) : NULL;
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

  if (hdc) {
    DrawCell(hdc, column, row, 1);
    ReleaseDC(hwnd, hdc);
  }

  /* The pointer follows to the cell's centre; its WM_MOUSEMOVE updates gMTrackX/Y. */
  POINT pt;
  pt.x = (column + GRID_LEFT) * gcxChar + gcxChar / 2;
  pt.y = gcyChar / 4 + ((50 - row) * gcyChar) / 2;
  if (hwnd) {
    ClientToScreen(hwnd, &pt);
    SetCursorPos(pt.x, pt.y);
  }
}

/* ---------------------------------------------------------------- character keys */

/* Sets the bits `mask` of a word of the backup column back to their backup values. */
static void RevertBits(uint32_t* words, uint32_t backup, uint32_t mask) {
  StepXor(words, gMouseX, (StepGet(words, gMouseX) ^ backup) & mask);
}

void UndoMouse(void) {
  if (gbNewBDown && ColumnOnGrid(gMouseX)) {
    RevertBits(gTbro.VoiceL, gVoiceBackL, clickVoiceL);
    RevertBits(gTbro.VoiceH, gVoiceBackH, clickVoiceH);
    RevertBits(gTbro.PercL, gPercBackL, clickPercL);
    RevertBits(gTbro.PercH, gPercBackH, clickPercH);
    MarkChanged();
  }
  gbNewBDown = 0;
}

static void UndoPendingClick(void) {
  if (gbNewBDown) UndoMouse();
}

/* D, V and X on the cursor cell. D and V take the click backup first, like a click, so a
** bar key right after them takes the toggle back. */
static void EditCursorCell(HWND hwnd, int ch) {
  if (ch != 'X') TakeClickBackup();
  if (!ColumnOnGrid(gMouseX) || !RowOnGrid(gMouseY)) return;
  if (ch == 'D')
    CellTogglePerc(gMouseX, gMouseY);
  else if (ch == 'V')
    CellToggleVoice(gMouseX, gMouseY);
  else
    CellClear(gMouseX, gMouseY);
  if (ch != 'X') NoteClickEdit(gMouseY, ch == 'D', ch == 'V');
  if (hwnd) {
    HDC hdc = GetDC(hwnd);
    if (hdc) {
      DrawCell(hdc, gMouseX, gMouseY, 1);
      ReleaseDC(hwnd, hdc);
    }
  }
  MarkChanged();
}

/* Copy and cut keys: the operations in order, then the clipboard and undo mode words. */
static void BarKey(void (*first)(void), void (*second)(void), int16_t pasteMode,
                   int16_t undoMode) {
  if (!CursorBarSteps()) return;
  UndoPendingClick();
  first();
  if (second) second();
  gPasteMode = pasteMode;
  gUndoMode = undoMode;
}

/* Paste and the shifts: the pending click is taken back first; the operation sets the
** undo mode itself. */
static void BarTransformKey(void (*op)(void)) {
  if (!CursorBarSteps()) return;
  UndoPendingClick();
  op();
}

LRESULT OnChar(HWND hwnd, WPARAM wParam) {
  int ch = static_cast<int>(wParam);
  if (ch >= 'a' && ch <= 'z') ch -= 'a' - 'A';
  int steps = gBeatsPBar;
  gStartIndex = static_cast<int16_t>(steps > 0 ? gMouseX - gMouseX % steps : gMouseX);

  switch (ch) {
    case 'D': case 'V': case 'X': EditCursorCell(hwnd, ch); break;
    case 'B': BarKey(CopyVoiceBar, CopyPercBar, 3, 3); break;
    case 'C': BarKey(CopyVoiceBar, NULL, 2, 2); break;
    case 'P': BarKey(CopyPercBar, NULL, 1, 1); break;
    case 'K': BarKey(ClearVoiceBar, ClearPercBar, 3, 12); break;
    case 'Y': BarKey(ClearPercBar, NULL, 1, 4); break;
    case 'Z': BarKey(ClearVoiceBar, NULL, 2, 8); break;
    case 'I': BarTransformKey(PasteBar); break;
    case '+': BarTransformKey(SemitoneUp); break;
    case '-': BarTransformKey(SemitoneDown); break;
    case '*': BarTransformKey(OctaveUp); break;
    case '_': BarTransformKey(OctaveDown); break;
    case 'L': RotateLeft(); break;
    case 'R': RotateRight(); break;
    case 'U': UndoBar(); break;
    case '0': CompleteSus2(); break;
    case '1': CompleteSus4(); break;
    case '2': CompleteMinSixth(); break;
    case '3': CompleteMinor(); break;
    case '4': CompleteMajor(); break;
    case '5': CompleteDimSept(); break;
    case '6': CompleteMajSixth(); break;
    case '7': CompleteDominant(); break;
    case '8': CompleteMinorSept(); break;
    case '9': CompleteMajorSept(); break;
    default: break;
  }
  return 0;
}
