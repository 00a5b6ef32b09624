/*
** This file contains the whole-bar operations of the editor: copy and cut of the percussion
** or instrument part of the cursor's bar into the clipboard, paste, the one-level undo of
** the last cut, paste or chord, rotation of the play range by one step, and transposition
** of a bar's instrument notes by a semitone or an octave.
**
** The bar is gBeatsPBar steps from gStartIndex (set by the key handler). Copy, cut, paste
** and undo move only PercL/PercH and VoiceL/VoiceH; rotation moves all six words of a step;
** transposition moves the instrument chain and nothing else. Every write is one whole
** 32-bit store through the Step helpers, since the step clock reads the same words.
*/
#include <cstring>

#include "pattern/pattern.h"

/* ---------------------------------------------------------------- clipboard and undo buffers (window thread) */

/* The clipboard: one bar of each part, index = step within the bar. Zero at program start,
** never cleared; a paste writes the current bar length of entries. */
static uint32_t gPercCopyL[24], gPercCopyH[24], gVoiceCopyL[24], gVoiceCopyH[24];
/* The bar as it was before the last cut (or copy) and the last paste, per part. */
static uint32_t gPercCutUndoL[24], gPercCutUndoH[24], gVoiceCutUndoL[24], gVoiceCutUndoH[24];
static uint32_t gPercPasteUndoL[24], gPercPasteUndoH[24], gVoicePasteUndoL[24], gVoicePasteUndoH[24];
static int16_t gCutUndoIndex, gPasteUndoIndex;  /* first step of the bar each set holds */
/* Steps each set holds (the bar length when it was filled; 0 = nothing saved), so that an
** undo restores exactly the steps it saved even after gBeatsPBar changed. */
static int16_t gCutUndoCount, gPasteUndoCount;

void BarsReset(void) {
  uint32_t* const buffers[] = {gPercCopyL,     gPercCopyH,      gVoiceCopyL,      gVoiceCopyH,
                               gPercCutUndoL,  gPercCutUndoH,   gVoiceCutUndoL,   gVoiceCutUndoH,
                               gPercPasteUndoL, gPercPasteUndoH, gVoicePasteUndoL, gVoicePasteUndoH};
  for (uint32_t* b : buffers) std::memset(b, 0, sizeof gPercCopyL);
  gCutUndoIndex = gPasteUndoIndex = 0;
  gCutUndoCount = gPasteUndoCount = 0;
}

/* ---------------------------------------------------------------- helpers */

/* Steps of the bar at gStartIndex that an operation may touch, or 0 when there is no bar:
** a cursor off the grid, a bar length outside 1..24, or a bar that would leave the
** record's STEP_SLOTS entries. */
static int BarSteps(void) {
  int steps = CursorBarSteps();
  if (steps == 0 || gStartIndex < 0 || gStartIndex + steps > STEP_SLOTS) return 0;
  return steps;
}

/* Copies one part of the bar into the clipboard and the cut-undo buffers. */
static void CopyPart(const uint32_t* low, const uint32_t* high, uint32_t* copyL, uint32_t* copyH,
                     uint32_t* undoL, uint32_t* undoH, int steps) {
  int s0 = gStartIndex;
  gCutUndoIndex = static_cast<int16_t>(s0);
  gCutUndoCount = static_cast<int16_t>(steps);
  for (int i = 0; i < steps; i++) {
    copyL[i] = undoL[i] = StepGet(low, s0 + i);
    copyH[i] = undoH[i] = StepGet(high, s0 + i);
  }
}

static void ZeroPart(uint32_t* low, uint32_t* high, int steps) {
  for (int i = 0; i < steps; i++) {
    StepSet(low, gStartIndex + i, 0);
    StepSet(high, gStartIndex + i, 0);
  }
}

static void RestorePart(uint32_t* low, uint32_t* high, int start, const uint32_t* savedL,
                        const uint32_t* savedH, int steps) {
  for (int i = 0; i < steps; i++) {
    StepSet(low, start + i, savedL[i]);
    StepSet(high, start + i, savedH[i]);
  }
}

/* ---------------------------------------------------------------- copy, cut, paste */

/* Copies one part of the cursor's bar (percussion or instrument) into the clipboard and
** the cut-undo buffers and, for a cut, clears it there. A copy changes nothing in the
** pattern but counts as an edit. For the instrument the row-0 and row-1 flags live in
** VoiceL and go with the part; VoiceXL/VoiceXH stay. */
static bool CopyBar(bool perc, bool cut) {
  int steps = BarSteps();
  if (!steps) return false;
  uint32_t* low = perc ? gTbro.PercL : gTbro.VoiceL;
  uint32_t* high = perc ? gTbro.PercH : gTbro.VoiceH;
  if (perc) CopyPart(low, high, gPercCopyL, gPercCopyH, gPercCutUndoL, gPercCutUndoH, steps);
  else CopyPart(low, high, gVoiceCopyL, gVoiceCopyH, gVoiceCutUndoL, gVoiceCutUndoH, steps);
  if (cut) ZeroPart(low, high, steps);
  MarkChanged();
  return true;
}

bool CopyPercBar(void) { return CopyBar(true, false); }
bool CopyVoiceBar(void) { return CopyBar(false, false); }
bool ClearPercBar(void) { return CopyBar(true, true); }
bool ClearVoiceBar(void) { return CopyBar(false, true); }

/* Writes the current bar length of clipboard words: entries past the last copy's length
** hold whatever an earlier, longer copy left (zero if none). The undo bits are ORed in, so
** a cut followed by a paste is a move that one undo reverts in full. Both parts of the bar
** are saved, also the one not pasted: an undo after a later copy restores the part that
** copy names, and that part's buffer must describe this bar, not an older one. */
bool PasteBar(void) {
  int steps = BarSteps();
  if (!steps) return false;
  int s0 = gStartIndex;
  int mode = gPasteMode;
  gPasteUndoIndex = static_cast<int16_t>(s0);
  gPasteUndoCount = static_cast<int16_t>(steps);
  for (int i = 0; i < steps; i++) {
    gPercPasteUndoL[i] = StepGet(gTbro.PercL, s0 + i);
    gPercPasteUndoH[i] = StepGet(gTbro.PercH, s0 + i);
    gVoicePasteUndoL[i] = StepGet(gTbro.VoiceL, s0 + i);
    gVoicePasteUndoH[i] = StepGet(gTbro.VoiceH, s0 + i);
    if (mode & 1) {
      StepSet(gTbro.PercL, s0 + i, gPercCopyL[i]);
      StepSet(gTbro.PercH, s0 + i, gPercCopyH[i]);
    }
    if (mode & 2) {
      StepSet(gTbro.VoiceL, s0 + i, gVoiceCopyL[i]);
      StepSet(gTbro.VoiceH, s0 + i, gVoiceCopyH[i]);
    }
  }
  gUndoMode = static_cast<int16_t>(gUndoMode | (mode & 3));
  MarkChanged();
  return true;
}

/* ---------------------------------------------------------------- undo */

/* Restores what the mode word names, paste buffers before cut buffers so that where both
** hit the same step the state before the cut wins. Each buffer restores the steps it
** saved: a bar length changed since then neither leaves saved steps behind nor writes stale
** buffer entries over steps that were never saved. */
bool UndoBar(void) {
  int mode = gUndoMode;
  if (mode == 0) return false;
  if (mode == 16) {
    StepSet(gTbro.VoiceL, gChordIndex, gChordUndoL);
    StepSet(gTbro.VoiceH, gChordIndex, gChordUndoH);
    DropClickBackupIn(gChordIndex, 1);
  } else {
    int pasteSteps = gPasteUndoCount, cutSteps = gCutUndoCount;
    if (mode & 3) DropClickBackupIn(gPasteUndoIndex, pasteSteps);
    if (mode & 12) DropClickBackupIn(gCutUndoIndex, cutSteps);
    if (mode & 1)
      RestorePart(gTbro.PercL, gTbro.PercH, gPasteUndoIndex, gPercPasteUndoL, gPercPasteUndoH,
                  pasteSteps);
    if (mode & 2)
      RestorePart(gTbro.VoiceL, gTbro.VoiceH, gPasteUndoIndex, gVoicePasteUndoL,
                  gVoicePasteUndoH, pasteSteps);
    if (mode & 4)
      RestorePart(gTbro.PercL, gTbro.PercH, gCutUndoIndex, gPercCutUndoL, gPercCutUndoH,
                  cutSteps);
    if (mode & 8)
      RestorePart(gTbro.VoiceL, gTbro.VoiceH, gCutUndoIndex, gVoiceCutUndoL, gVoiceCutUndoH,
                  cutSteps);
  }
  gUndoMode = 0;
  MarkChanged();
  return true;
}

/* ---------------------------------------------------------------- rotation */

struct StepWords {
  uint32_t w[6];
};

static uint32_t* const* StepArrays(void) {
  static uint32_t* const arrays[6] = {gTbro.PercL,  gTbro.PercH,   gTbro.VoiceL,
                                      gTbro.VoiceH, gTbro.VoiceXL, gTbro.VoiceXH};
  return arrays;
}

static StepWords ReadStep(int step) {
  StepWords s;
  for (int k = 0; k < 6; k++) s.w[k] = StepGet(StepArrays()[k], step);
  return s;
}

static void WriteStep(int step, const StepWords& s) {
  for (int k = 0; k < 6; k++) StepSet(StepArrays()[k], step, s.w[k]);
}

/* The play range's first and last step: rotation turns the steps that are played. */
static void RotationRange(int* first, int* last) {
  int end;
  PlayRange(first, &end);
  *last = end - 1;
}

bool RotateLeft(void) {
  int a, e;
  RotationRange(&a, &e);
  if (e > a) DropClickBackupIn(a, e - a + 1);  /* one step rotates onto itself */
  StepWords first = ReadStep(a);
  for (int j = a; j < e; j++) WriteStep(j, ReadStep(j + 1));
  WriteStep(e, first);
  gUndoMode = 0;
  MarkChanged();
  return true;
}

bool RotateRight(void) {
  int a, e;
  RotationRange(&a, &e);
  if (e > a) DropClickBackupIn(a, e - a + 1);  /* one step rotates onto itself */
  StepWords last = ReadStep(e);
  for (int j = e; j > a; j--) WriteStep(j, ReadStep(j - 1));
  WriteStep(a, last);
  gUndoMode = 0;
  MarkChanged();
  return true;
}

/* ---------------------------------------------------------------- transposition */

/* The instrument chain of one step as two pieces, lowest note first:
**   low  = VoiceXL (chain bits 0..31) | VoiceL bits 2..31 (chain bits 32..61), 62 bits;
**   high = VoiceH (chain bits 62..93) | VoiceXH (chain bits 94..125), 64 bits.
** Instrument row r is chain bit r + 30. Bits 0 and 1 of VoiceL are flags, not notes. */
static const uint64_t kLowMask = (uint64_t(1) << 62) - 1;

/* Shifts the chain of every step of the bar by |semitones| positions, up when positive.
** Notes shifted past either end of the chain are lost. */
static bool ShiftBar(int semitones) {
  int steps = BarSteps();
  if (!steps) return false;
  int s0 = gStartIndex;
  for (int i = 0; i < steps; i++) {
    int s = s0 + i;
    uint32_t voiceL = StepGet(gTbro.VoiceL, s);
    uint64_t low = StepGet(gTbro.VoiceXL, s) | (uint64_t(voiceL >> 2) << 32);
    uint64_t high = StepGet(gTbro.VoiceH, s) | (uint64_t(StepGet(gTbro.VoiceXH, s)) << 32);
    for (int n = 0; n < semitones; n++) {
      high = (high << 1) | (low >> 61);
      low = (low << 1) & kLowMask;
    }
    for (int n = 0; n < -semitones; n++) {
      low = (low >> 1) | ((high & 1) << 61);
      high >>= 1;
    }
    StepSet(gTbro.VoiceXL, s, static_cast<uint32_t>(low));
    StepSet(gTbro.VoiceL, s, static_cast<uint32_t>(low >> 32) << 2 | (voiceL & 3u));
    StepSet(gTbro.VoiceH, s, static_cast<uint32_t>(high));
    StepSet(gTbro.VoiceXH, s, static_cast<uint32_t>(high >> 32));
  }
  /* Nothing is saved for undo: the opposite shift undoes it. The paste-undo buffers no
  ** longer describe the bar at gPasteUndoIndex, so they are given up. */
  gPasteUndoIndex = static_cast<int16_t>(s0);
  gPasteUndoCount = 0;
  gUndoMode = 0;
  MarkChanged();
  return true;
}

bool SemitoneUp(void) { return ShiftBar(1); }
bool SemitoneDown(void) { return ShiftBar(-1); }
bool OctaveUp(void) { return ShiftBar(12); }
bool OctaveDown(void) { return ShiftBar(-12); }
