/*
** This file contains the editing of single cells and the character keys as operations on
** the pattern: the one-column click backup that a bar or chord key takes back before it
** acts, a click's toggle of a cell, the loop markers' rules, and EditKey, which runs the
** operation of a character key and says what the window has to redraw. The window side
** (app/grid.cpp) turns mouse and keyboard messages into these calls and draws.
**
** Columns outside the grid. A click may land left of the grid or on the right keyboard
** column, and the right arrow may reach column STEP_COUNT. Such a column is recorded as the
** cursor (the bar keys then find no bar), but it takes no click backup and no key edits it:
** the record is never read or written outside its steps through a cursor column.
*/
#include "pattern/pattern.h"

/* ---------------------------------------------------------------- cursor and backup (window thread) */

int16_t gMouseX, gMouseY;
Shared<int> gbNewBDown;
/* The four words of step gMouseX as they were before the click, and their dynamics
** (Accent then Ghost words of PercL, PercH, VoiceL, VoiceH). */
static uint32_t gPercBackL, gPercBackH, gVoiceBackL, gVoiceBackH;
static uint32_t gDynamicsBack[2][4];
int16_t gStartIndex;

/* The bits of the backup column's four words that the click (or D, V) itself changed, and
** the cells whose dynamic it (or Shift+click, A) changed, in the order PercL, PercH, VoiceL,
** VoiceH. UndoMouse takes back only these: while a sequence records, the step clock lands
** MIDI input in the same words, and writing the whole backup back would erase those notes. */
static uint32_t clickPercL, clickPercH, clickVoiceL, clickVoiceH;
static uint32_t clickDynamics[4];

/* The note arrays of a column in backup order, with the backup of each. */
static const uint32_t* const kBackupArrays[4] = {gTbro.PercL, gTbro.PercH, gTbro.VoiceL, gTbro.VoiceH};

void EditReset(void) {
  gMouseX = gMouseY = -1;
  gbNewBDown = 0;
  gPercBackL = gPercBackH = gVoiceBackL = gVoiceBackH = 0;
  for (auto& words : gDynamicsBack)
    for (uint32_t& w : words) w = 0;
  clickPercL = clickPercH = clickVoiceL = clickVoiceH = 0;
  for (uint32_t& m : clickDynamics) m = 0;
  gStartIndex = 0;
}

bool ColumnOnGrid(int column) { return column >= 0 && column < STEP_COUNT; }
bool RowOnGrid(int row) { return row >= 0 && row <= 48; }

void TakeClickBackup(void) {
  clickPercL = clickPercH = clickVoiceL = clickVoiceH = 0;
  for (uint32_t& m : clickDynamics) m = 0;
  if (!ColumnOnGrid(gMouseX)) {
    gbNewBDown = 0;
    return;
  }
  gVoiceBackL = StepGet(gTbro.VoiceL, gMouseX);
  gVoiceBackH = StepGet(gTbro.VoiceH, gMouseX);
  gPercBackL = StepGet(gTbro.PercL, gMouseX);
  gPercBackH = StepGet(gTbro.PercH, gMouseX);
  for (int d = 0; d < 2; d++)
    for (int a = 0; a < 4; a++)
      gDynamicsBack[d][a] = StepGet(DynamicWords(d == 0 ? DYN_ACCENT : DYN_GHOST, kBackupArrays[a]), gMouseX);
  gbNewBDown = 1;
}

/* Records the cell bits of `row` that the edit after a backup may have changed. */
static void NoteClickEdit(int row, bool perc, bool voice) {
  const uint32_t bit = 1u << (row & 31);
  if (perc) (row < 32 ? clickPercL : clickPercH) |= bit;
  if (voice) (row < 32 ? clickVoiceL : clickVoiceH) |= bit;
  if (perc) clickDynamics[row < 32 ? 0 : 1] |= bit;  /* a note set or removed is normal */
  if (voice) clickDynamics[row < 32 ? 2 : 3] |= bit;
}

/* Records a cell of `row` whose dynamic only (not its note) the edit changed. */
static void DynamicClickEdit(int row, bool perc) {
  clickDynamics[(perc ? 0 : 2) + (row < 32 ? 0 : 1)] |= 1u << (row & 31);
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

/* Sets the bits `mask` of a word of the backup column back to their backup values. */
static void RevertBits(uint32_t* words, uint32_t backup, uint32_t mask) {
  StepXor(words, gMouseX, (StepGet(words, gMouseX) ^ backup) & mask);
}

/* A note the click removed comes back with its dynamic; a dynamic Shift+click or A changed
** is put back. */
void UndoMouse(void) {
  if (gbNewBDown && ColumnOnGrid(gMouseX)) {
    RevertBits(gTbro.VoiceL, gVoiceBackL, clickVoiceL);
    RevertBits(gTbro.VoiceH, gVoiceBackH, clickVoiceH);
    RevertBits(gTbro.PercL, gPercBackL, clickPercL);
    RevertBits(gTbro.PercH, gPercBackH, clickPercH);
    for (int d = 0; d < 2; d++)
      for (int a = 0; a < 4; a++)
        RevertBits(DynamicWords(d == 0 ? DYN_ACCENT : DYN_GHOST, kBackupArrays[a]), gDynamicsBack[d][a],
                   clickDynamics[a]);
    MarkChanged();
  }
  gbNewBDown = 0;
}

static void UndoPendingClick(void) {
  if (gbNewBDown) UndoMouse();
}

/* ---------------------------------------------------------------- clicks */

void ClickCell(int button, int column, int row) {
  if (button == BUTTON_LEFT)
    CellTogglePerc(column, row);
  else if (button == BUTTON_RIGHT)
    CellToggleVoice(column, row);
  else
    CellClear(column, row);
  NoteClickEdit(row, button != BUTTON_RIGHT, button != BUTTON_LEFT);
  gbNeedSave = 1;
}

/* Only dynamics change; the middle button has none to cycle and clears as without Shift.
** The cell's part that was cycled is noted for UndoMouse like a toggled bit. */
bool ShiftClickCell(int button, int column, int row) {
  if (button == BUTTON_MIDDLE) {
    ClickCell(button, column, row);
    return true;
  }
  const bool percFirst = button == BUTTON_LEFT;
  const bool perc = percFirst ? CellPerc(column, row) != 0 : CellVoice(column, row) == 0;
  if (!CycleCellDynamic(column, row, percFirst)) return false;
  DynamicClickEdit(row, perc);
  MarkChanged();
  return true;
}

/* The play range keeps at least one step (LoopStart < LoopEnd); the end marker stands at
** 1..STEP_COUNT, the start marker at 0..STEP_COUNT - 1. */
bool MoveLoopMarker(bool end, int column) {
  int loopStart = HeaderGet(gTbro.LoopStart);
  int loopEnd = HeaderGet(gTbro.LoopEnd);
  if (end) {
    if (column < 1 || column > STEP_COUNT || column <= loopStart) return false;
    HeaderSet(gTbro.LoopEnd, static_cast<int16_t>(column));
  } else {
    if (column < 0 || column > STEP_COUNT || column >= loopEnd) return false;
    HeaderSet(gTbro.LoopStart, static_cast<int16_t>(column));
  }
  gbNeedSave = 1;
  return true;
}

/* ---------------------------------------------------------------- character keys */

/* D, V, A and X on the cursor cell. D, V and A take the click backup first, like a click,
** so a bar key right after them takes the change back. A is Shift+left click: it cycles the
** dynamic of the cell's note, the percussion's first. */
static int EditCursorCell(int ch) {
  if (ch != 'X') TakeClickBackup();
  if (!ColumnOnGrid(gMouseX) || !RowOnGrid(gMouseY)) return REDRAW_NONE;
  if (ch == 'A') return ShiftClickCell(BUTTON_LEFT, gMouseX, gMouseY) ? REDRAW_CURSOR : REDRAW_NONE;
  if (ch == 'D')
    CellTogglePerc(gMouseX, gMouseY);
  else if (ch == 'V')
    CellToggleVoice(gMouseX, gMouseY);
  else
    CellClear(gMouseX, gMouseY);
  if (ch != 'X') NoteClickEdit(gMouseY, ch == 'D', ch == 'V');
  MarkChanged();
  return REDRAW_CURSOR;
}

/* Copy and cut keys: the operations in order, then the clipboard and undo mode words. A
** copy changes no cell (the window is only updated), a cut repaints. */
static int BarKey(bool (*first)(void), bool (*second)(void), int16_t pasteMode,
                  int16_t undoMode, int redraw) {
  if (!CursorBarSteps()) return REDRAW_NONE;
  UndoPendingClick();
  bool acted = first();
  if (second) acted = second() || acted;
  gPasteMode = pasteMode;
  gUndoMode = undoMode;
  return acted ? redraw : REDRAW_NONE;
}

/* Paste and the shifts: the pending click is taken back first; the operation sets the
** undo mode itself. */
static int BarTransformKey(bool (*op)(void)) {
  if (!CursorBarSteps()) return REDRAW_NONE;
  UndoPendingClick();
  return op() ? REDRAW_ALL : REDRAW_NONE;
}

/* The chord keys '0'..'9' in key order. */
static bool (*const kChordKeys[10])(void) = {
    CompleteSus2,      CompleteSus4,  CompleteMinSixth, CompleteMinor,      CompleteMajor,
    CompleteDimSept,   CompleteMajSixth, CompleteDominant, CompleteMinorSept, CompleteMajorSept};

int EditKey(int ch) {
  if (ch >= 'a' && ch <= 'z') ch -= 'a' - 'A';
  int steps = gBeatsPBar;
  gStartIndex = static_cast<int16_t>(steps > 0 ? gMouseX - gMouseX % steps : gMouseX);

  if (ch >= '0' && ch <= '9') return kChordKeys[ch - '0']() ? REDRAW_ALL : REDRAW_NONE;
  switch (ch) {
    case 'D': case 'V': case 'X': case 'A': return EditCursorCell(ch);
    case 'B': return BarKey(CopyVoiceBar, CopyPercBar, 3, 3, REDRAW_UPDATE);
    case 'C': return BarKey(CopyVoiceBar, nullptr, 2, 2, REDRAW_UPDATE);
    case 'P': return BarKey(CopyPercBar, nullptr, 1, 1, REDRAW_UPDATE);
    case 'K': return BarKey(ClearVoiceBar, ClearPercBar, 3, 12, REDRAW_ALL);
    case 'Y': return BarKey(ClearPercBar, nullptr, 1, 4, REDRAW_ALL);
    case 'Z': return BarKey(ClearVoiceBar, nullptr, 2, 8, REDRAW_ALL);
    case 'I': return BarTransformKey(PasteBar);
    case '+': return BarTransformKey(SemitoneUp);
    case '-': return BarTransformKey(SemitoneDown);
    case '*': return BarTransformKey(OctaveUp);
    case '_': return BarTransformKey(OctaveDown);
    case 'L': return RotateLeft() ? REDRAW_ALL : REDRAW_NONE;
    case 'R': return RotateRight() ? REDRAW_ALL : REDRAW_NONE;
    case 'U': return UndoBar() ? REDRAW_ALL : REDRAW_NONE;
    default: return REDRAW_NONE;
  }
}
