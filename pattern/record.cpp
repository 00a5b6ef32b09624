/*
** This file contains the pattern record, the project state flags, the undo and chord
** globals, the atomic accessors of the record's words, and the operations that several
** subsystems perform on the record: reset, clear, the single-cell bit operations and the
** play range. The settings are in settings.cpp, the cursor and click backup in edit.cpp,
** the clipboard in barops.cpp.
**
** The record is read by the step clock while the window thread edits it; the Step* and
** Header* helpers are the only way either thread touches a step word or a shared header
** word. std::atomic_ref needs the word naturally aligned: the record's offsets guarantee it
** (every array starts at a multiple of 4, every header word at an even offset).
*/
#include <atomic>
#include <cstring>

#include "pattern/pattern.h"

/* ---------------------------------------------------------------- the record */

TbroRecord gTbro;
TbroRecord gTbroTemp;

/* ---------------------------------------------------------------- project state flags */

Shared<int> gbNeedSave;
Shared<int> gbFileChanged;
Shared<int> gbNewFile;
Shared<int> gbEdit;
Shared<int> gbFirstFile;
Shared<int> gbLoadMidi;

/* ---------------------------------------------------------------- undo (window thread) */

int16_t gPasteMode, gUndoMode;
uint32_t gChordUndoL, gChordUndoH;
int32_t gChordIndex;

/* ---------------------------------------------------------------- accessors */

static inline bool StepInRange(int step) { return step >= 0 && step < STEP_SLOTS; }

/* The word of a step, or nullptr for no array or a step outside the record. */
static uint32_t* StepWord(const uint32_t* words, int step) {
  return words && StepInRange(step) ? const_cast<uint32_t*>(words) + step : nullptr;
}

uint32_t StepGet(const uint32_t* words, int step) {
  uint32_t* w = StepWord(words, step);
  return w ? std::atomic_ref<uint32_t>(*w).load() : 0;
}

void StepSet(uint32_t* words, int step, uint32_t value) {
  if (uint32_t* w = StepWord(words, step)) std::atomic_ref<uint32_t>(*w).store(value);
}
uint32_t StepOr(uint32_t* words, int step, uint32_t bits) {
  uint32_t* w = StepWord(words, step);
  return w ? std::atomic_ref<uint32_t>(*w).fetch_or(bits) : 0;
}
uint32_t StepAnd(uint32_t* words, int step, uint32_t bits) {
  uint32_t* w = StepWord(words, step);
  return w ? std::atomic_ref<uint32_t>(*w).fetch_and(bits) : 0;
}
uint32_t StepXor(uint32_t* words, int step, uint32_t bits) {
  uint32_t* w = StepWord(words, step);
  return w ? std::atomic_ref<uint32_t>(*w).fetch_xor(bits) : 0;
}

int16_t HeaderGet(const int16_t& field) {
  return std::atomic_ref<int16_t>(const_cast<int16_t&>(field)).load();
}

void HeaderSet(int16_t& field, int16_t value) { std::atomic_ref<int16_t>(field).store(value); }

/* ---------------------------------------------------------------- shared operations */

/* A cleared pattern has no click to take back: the pending backup goes with it. */
void PatternClear(void) {
  gbNewBDown = 0;
  for (int i = 0; i < STEP_SLOTS; i++) {
    StepSet(gTbro.PercL, i, 0);
    StepSet(gTbro.PercH, i, 0);
    StepSet(gTbro.VoiceL, i, 0);
    StepSet(gTbro.VoiceH, i, 0);
    StepSet(gTbro.VoiceXL, i, 0);
    StepSet(gTbro.VoiceXH, i, 0);
  }
}


/* Everything back to the state the program starts in; window creation then chooses the
** output port and fills the header again. */
void PatternReset(void) {
  SettingsReset();
  EditReset();
  gbNeedSave = 0; gbFileChanged = 0; gbNewFile = 0; gbEdit = 1; gbFirstFile = 0;
  gbLoadMidi = 0;
  gPasteMode = 0; gUndoMode = 0;

  BarsReset();
  ChordsReset();
  HistoryReset();
  gChordUndoL = gChordUndoH = 0;
  gChordIndex = 0;

  /* No other thread runs while the subsystem is reset: plain stores are safe here. */
  std::memset(&gTbro, 0, sizeof gTbro);
  std::memset(&gTbroTemp, 0, sizeof gTbroTemp);
  gTbro.LoopStart = 0;
  gTbro.LoopEnd = STEP_COUNT;
  FillHeaderFromSettings();
}

void MarkChanged(void) {
  gbNeedSave = 1;
  gbFileChanged = 1;
}

/* ---------------------------------------------------------------- cells */

/* The word of the given array pair that holds row r, and the row's bit in it. */
static uint32_t* RowWord(uint32_t* low, uint32_t* high, int row) { return row < 32 ? low : high; }
static uint32_t RowBit(int row) { return 1u << (row & 31); }
static bool RowInRange(int row) { return row >= 0 && row < 64; }

int CellPerc(int step, int row) {
  if (!RowInRange(row)) return 0;
  return (StepGet(RowWord(gTbro.PercL, gTbro.PercH, row), step) & RowBit(row)) != 0;
}

int CellVoice(int step, int row) {
  if (!RowInRange(row)) return 0;
  return (StepGet(RowWord(gTbro.VoiceL, gTbro.VoiceH, row), step) & RowBit(row)) != 0;
}

void CellTogglePerc(int step, int row) {
  if (!RowInRange(row)) return;
  StepXor(RowWord(gTbro.PercL, gTbro.PercH, row), step, RowBit(row));
}

void CellToggleVoice(int step, int row) {
  if (!RowInRange(row)) return;
  StepXor(RowWord(gTbro.VoiceL, gTbro.VoiceH, row), step, RowBit(row));
}

void CellClear(int step, int row) {
  if (!RowInRange(row)) return;
  StepAnd(RowWord(gTbro.PercL, gTbro.PercH, row), step, ~RowBit(row));
  StepAnd(RowWord(gTbro.VoiceL, gTbro.VoiceH, row), step, ~RowBit(row));
}

/* ---------------------------------------------------------------- play range */

void ClampPlayRange(int* start, int* end) {
  if (*end <= 0 || *end > STEP_COUNT) *end = STEP_COUNT;
  if (*start < 0 || *start >= *end) *start = 0;
}

void PlayRange(int* start, int* end) {
  *start = HeaderGet(gTbro.LoopStart);
  *end = HeaderGet(gTbro.LoopEnd);
  ClampPlayRange(start, end);
}
