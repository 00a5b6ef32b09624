/*
** This file contains the pattern record, the project state flags, the clipboard, undo and
** chord globals, the atomic accessors of the record's words, and the operations that
** several subsystems perform on the record: reset, clear and the single-cell bit operations.
** The settings are in settings.cpp, the cursor and click backup in edit.cpp.
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

TbroRecord gTbro;      /* current pattern; both threads: step words via the Step helpers */
TbroRecord gTbroTemp;  /* last project file image read; whichever thread reads a file */

/* ---------------------------------------------------------------- project state flags */

Shared<int> gbNeedSave(0);     /* window thread; the step clock when MIDI input lands */
Shared<int> gbFileChanged(0);  /* window thread; file reads on either thread */
Shared<int> gbNewFile(0);      /* window thread; file reads */
Shared<int> gbEdit(1);         /* window thread: 1 single-pattern edit, 0 playlist mode */
Shared<int> gbFirstFile(0);    /* window thread, playlist advance on the step clock */
Shared<int> gbLoadMidi(0);     /* window thread, only around "Load File incl. MIDI" */

/* ---------------------------------------------------------------- clipboard and undo (window thread) */

int16_t gPasteMode, gUndoMode;

uint32_t gPercCopyL[24], gPercCopyH[24], gVoiceCopyL[24], gVoiceCopyH[24];   /* one bar */
uint32_t gPercCutUndoL[24], gPercCutUndoH[24], gVoiceCutUndoL[24], gVoiceCutUndoH[24];
uint32_t gPercPasteUndoL[24], gPercPasteUndoH[24], gVoicePasteUndoL[24], gVoicePasteUndoH[24];
int16_t gCutUndoIndex = 0, gPasteUndoIndex = 0; /* first step of the bar each buffer holds */
int16_t gCutUndoCount = 0, gPasteUndoCount = 0; /* steps each buffer holds; 0 = none */

/* ---------------------------------------------------------------- chords (window thread) */

uint32_t gPatternL = 0, gPatternH = 0;     /* chord mask at the root, rows 0..31 / 32..63 */
uint32_t gChordUndoL = 0, gChordUndoH = 0; /* VoiceL/VoiceH of gChordIndex before the chord */
int32_t gChordIndex = 0;                   /* step of the last chord */

/* ---------------------------------------------------------------- accessors */

static inline bool StepInRange(int step) { return step >= 0 && step < STEP_SLOTS; }

uint32_t StepGet(const uint32_t* words, int step) {
  if (!words || !StepInRange(step)) return 0;
  return std::atomic_ref<uint32_t>(const_cast<uint32_t*>(words)[step]).load();
}

void StepSet(uint32_t* words, int step, uint32_t value) {
  if (!words || !StepInRange(step)) return;
  std::atomic_ref<uint32_t>(words[step]).store(value);
}

void StepOr(uint32_t* words, int step, uint32_t bits) {
  if (!words || !StepInRange(step)) return;
  std::atomic_ref<uint32_t>(words[step]).fetch_or(bits);
}

void StepAnd(uint32_t* words, int step, uint32_t bits) {
  if (!words || !StepInRange(step)) return;
  std::atomic_ref<uint32_t>(words[step]).fetch_and(bits);
}

void StepXor(uint32_t* words, int step, uint32_t bits) {
  if (!words || !StepInRange(step)) return;
  std::atomic_ref<uint32_t>(words[step]).fetch_xor(bits);
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

  std::memset(gPercCopyL, 0, sizeof gPercCopyL);
  std::memset(gPercCopyH, 0, sizeof gPercCopyH);
  std::memset(gVoiceCopyL, 0, sizeof gVoiceCopyL);
  std::memset(gVoiceCopyH, 0, sizeof gVoiceCopyH);
  std::memset(gPercCutUndoL, 0, sizeof gPercCutUndoL);
  std::memset(gPercCutUndoH, 0, sizeof gPercCutUndoH);
  std::memset(gVoiceCutUndoL, 0, sizeof gVoiceCutUndoL);
  std::memset(gVoiceCutUndoH, 0, sizeof gVoiceCutUndoH);
  std::memset(gPercPasteUndoL, 0, sizeof gPercPasteUndoL);
  std::memset(gPercPasteUndoH, 0, sizeof gPercPasteUndoH);
  std::memset(gVoicePasteUndoL, 0, sizeof gVoicePasteUndoL);
  std::memset(gVoicePasteUndoH, 0, sizeof gVoicePasteUndoH);
  gCutUndoIndex = 0; gPasteUndoIndex = 0; gCutUndoCount = 0; gPasteUndoCount = 0;

  gPatternL = gPatternH = 0; gChordUndoL = gChordUndoH = 0; gChordIndex = 0;

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
