/*
** This file contains the pattern record and every global of the pattern subsystem with its
** start value, the atomic accessors of the record's words, and the operations that several
** subsystems perform on the record: reset, clear, fill the header from the settings, the
** base note, the level table and the single-cell bit operations.
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

/* ---------------------------------------------------------------- settings (window thread writes) */

Shared<int16_t> gMsecPerBeat(500);  /* ms per beat; tempo bar, first-file loads */
Shared<int16_t> gRelBeat(2);        /* steps-per-beat index 0..9; rel.Beat menu */
Shared<int16_t> gBeatsPBar(4);      /* steps per bar; Beats/Bar menu */
Shared<int16_t> gAccent(0);         /* bar accent 0..6; BarAccent menu */
Shared<int16_t> gFreeAccent(7);     /* free-accent level 1..13; FreeAccent menu */
Shared<int16_t> gVoice(3);          /* GM program 0..127; instrument menu */
Shared<int16_t> gVoiceLevel(4);     /* level index 0..7; Instr.Level menu */
Shared<int16_t> gTranspose(12);     /* transposition index 0..24; Transpose menu */
Shared<int16_t> gMidiOutPort(-1);   /* output device; -1 until window creation picks one */
Shared<int16_t> gMidiInPort(0);     /* input device index; MIDI In menu */
Shared<int16_t> gPercCh(9);         /* 0-based percussion channel (9 or 15) */
Shared<int16_t> gVoiceCh(0);        /* 0-based instrument channel 0..15 */
Shared<int16_t> gVelocity(64);      /* base velocity 20..127; velocity bar */
Shared<int32_t> giTempo(120);       /* BPM 40..506; tempo bar, first-file loads */

/* Shadows start equal to their settings (window thread writes). */
Shared<int16_t> gOldMsecPerBeat(500), gOldRelBeat(2), gOldBeatsPBar(4), gOldAccent(0),
    gOldFreeAccent(7);
Shared<int16_t> gOldVoice(3), gOldVoiceLevel(4), gOldTranspose(12), gOldMidiOutPort(-1),
    gOldMidiInPort(0);
Shared<int16_t> gOldPercCh(9), gOldVoiceCh(0);
Shared<int16_t> gVoiceChecked(3);     /* instrument item with the check mark; 99 "Others" */
Shared<int16_t> gOldVoiceChecked(3);  /* its value before the number dialog opened */

/* ---------------------------------------------------------------- derived values */

Shared<int16_t> gNoteOffset(34);      /* note of instrument row 0: 46 - 12 for the defaults */
Shared<int16_t> gDeltaVoiceLevel(0);  /* pattern level offset; level 4 ("Equal") is 0 */
Shared<int16_t> gXDVoiceLevel(0);     /* playlist-wide level offset; 0 outside a playlist */

/* ---------------------------------------------------------------- project state flags */

Shared<int> gbNeedSave(0);     /* window thread; the step clock when MIDI input lands */
Shared<int> gbFileChanged(0);  /* window thread; file reads on either thread */
Shared<int> gbNewFile(0);      /* window thread; file reads */
Shared<int> gbEdit(1);         /* window thread: 1 single-pattern edit, 0 playlist mode */
Shared<int> gbFirstFile(0);    /* window thread, playlist advance on the step clock */
Shared<int> gbLoadMidi(0);     /* window thread, only around "Load File incl. MIDI" */

/* ---------------------------------------------------------------- grid editing (window thread) */

int16_t gMouseX = -1, gMouseY = -1;       /* cursor column (step) and row; may lie off the grid */
int16_t gOldMouseX = -1, gOldMouseY = -1; /* highlighted cell; -1 none */
int16_t gMTrackX = 0, gMTrackY = 0;       /* last pointer position, client pixels */
Shared<int> gbNewBDown(0);                /* 1 while a click backup can be restored */
uint32_t gPercBackL = 0, gPercBackH = 0, gVoiceBackL = 0, gVoiceBackH = 0; /* step gMouseX
                                          ** of the last click, as it was before the click */
int16_t gStartIndex = 0;                  /* first step of the cursor's bar */
int16_t gPasteMode = 0;                   /* 0 empty clipboard, 1 perc, 2 chromatic, 3 both */
int16_t gUndoMode = 0;                    /* 0 nothing to undo; bits 1,2,4,8; or 16 chord */

/* ---------------------------------------------------------------- clipboard and undo (window thread) */

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

void FillHeaderFromSettings(void) {
  HeaderSet(gTbro.MsecPerBeat, gMsecPerBeat);
  HeaderSet(gTbro.RelBeat, gRelBeat);
  HeaderSet(gTbro.BeatsPBar, gBeatsPBar);
  HeaderSet(gTbro.Accent, gAccent);
  HeaderSet(gTbro.FreeAccent, gFreeAccent);
  HeaderSet(gTbro.Voice, gVoice);
  HeaderSet(gTbro.VoiceLevel, gVoiceLevel);
  HeaderSet(gTbro.Transpose, gTranspose);
  HeaderSet(gTbro.MidiOutPort, gMidiOutPort);
  HeaderSet(gTbro.MidiInPort, gMidiInPort);
  HeaderSet(gTbro.PercCh, gPercCh);
  HeaderSet(gTbro.VoiceCh, gVoiceCh);
}

/* Basses (programs 32..39) are written an octave lower, and the two deepest instruments
** (43 contrabass, 58 tuba) a further octave, so that their rows stay in their range. */
void RecomputeNoteOffset(void) {
  int voice = gVoice;
  int offset = 46 - gTranspose;
  if (voice >= 32 && voice <= 39) offset -= 12;
  if (voice == 43 || voice == 58) offset -= 12;
  gNoteOffset = static_cast<int16_t>(offset);
}

int16_t LevelOffset(int level) {
  static const int16_t table[8] = {-127, -60, -40, -20, 0, 20, 40, 60};
  return (level >= 0 && level < 8) ? table[level] : 0;
}

/* Everything back to the state the program starts in; window creation then chooses the
** output port and fills the header again. */
void PatternReset(void) {
  gMsecPerBeat = 500; gRelBeat = 2; gBeatsPBar = 4; gAccent = 0; gFreeAccent = 7;
  gVoice = 3; gVoiceLevel = 4; gTranspose = 12; gMidiOutPort = -1; gMidiInPort = 0;
  gPercCh = 9; gVoiceCh = 0; gVelocity = 64; giTempo = 120;

  gOldMsecPerBeat = 500; gOldRelBeat = 2; gOldBeatsPBar = 4; gOldAccent = 0;
  gOldFreeAccent = 7; gOldVoice = 3; gOldVoiceLevel = 4; gOldTranspose = 12;
  gOldMidiOutPort = -1; gOldMidiInPort = 0; gOldPercCh = 9; gOldVoiceCh = 0;
  gVoiceChecked = 3; gOldVoiceChecked = 3;

  gDeltaVoiceLevel = LevelOffset(4);
  gXDVoiceLevel = 0;
  RecomputeNoteOffset();

  gbNeedSave = 0; gbFileChanged = 0; gbNewFile = 0; gbEdit = 1; gbFirstFile = 0;
  gbLoadMidi = 0;

  gMouseX = -1; gMouseY = -1; gOldMouseX = -1; gOldMouseY = -1; gMTrackX = 0; gMTrackY = 0;
  gbNewBDown = 0;
  gPercBackL = gPercBackH = gVoiceBackL = gVoiceBackH = 0;
  gStartIndex = 0; gPasteMode = 0; gUndoMode = 0;

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
