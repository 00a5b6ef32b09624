/*
** This file contains the whole-bar operations of the editor: copy and cut of the percussion
** or instrument part of the cursor's bar into the clipboard, paste, the one-level undo of
** the last cut, paste or chord, rotation of the play range by one step, and transposition
** of a bar's instrument notes by a semitone or an octave.
**
** The bar is gBeatsPBar steps from gStartIndex (set by the key handler). Copy, cut, paste
** and undo move only PercL/PercH and VoiceL/VoiceH; rotation moves all six words of a step;
** transposition moves the instrument chain and nothing else. The notes' dynamics (accent,
** ghost) go with them in every operation. Every write is one whole
** 32-bit store through the Step helpers, since the step clock reads the same words.
*/
#include <cstring>

#include "pattern/pattern.h"

/* ---------------------------------------------------------------- clipboard and undo buffers (window thread) */

/* A part of a bar is six words a step: the part's L and H words of gTbro and their Accent
** and Ghost words, so the dynamics go wherever the notes go. */
enum { PART_WORDS = 6 };
typedef uint32_t PartBar[PART_WORDS][24];

/* The clipboard: one bar of each part, index = step within the bar. Zero at program start,
** never cleared; a paste writes the current bar length of entries. */
static PartBar gPercCopy, gVoiceCopy;
/* The bar as it was before the last cut (or copy) and the last paste, per part. */
static PartBar gPercCutUndo, gVoiceCutUndo, gPercPasteUndo, gVoicePasteUndo;
static int16_t gCutUndoIndex, gPasteUndoIndex;  /* first step of the bar each set holds */
/* Steps each set holds (the bar length when it was filled; 0 = nothing saved), so that an
** undo restores exactly the steps it saved even after gBeatsPBar changed. */
static int16_t gCutUndoCount, gPasteUndoCount;

void BarsReset(void) {
  PartBar* const buffers[] = {&gPercCopy, &gVoiceCopy, &gPercCutUndo, &gVoiceCutUndo, &gPercPasteUndo,
                              &gVoicePasteUndo};
  for (PartBar* b : buffers) std::memset(b, 0, sizeof(PartBar));
  gCutUndoIndex = gPasteUndoIndex = 0;
  gCutUndoCount = gPasteUndoCount = 0;
}

/* ---------------------------------------------------------------- helpers */

/* The arrays of a part, in PartBar order. */
static uint32_t* const* PartArrays(bool perc) {
  static uint32_t* const percArrays[PART_WORDS] = {
      gTbro.PercL, gTbro.PercH, gDynamics.AccentPercL, gDynamics.AccentPercH, gDynamics.GhostPercL,
      gDynamics.GhostPercH};
  static uint32_t* const voiceArrays[PART_WORDS] = {
      gTbro.VoiceL, gTbro.VoiceH, gDynamics.AccentVoiceL, gDynamics.AccentVoiceH, gDynamics.GhostVoiceL,
      gDynamics.GhostVoiceH};
  return perc ? percArrays : voiceArrays;
}

/* Steps of the bar at gStartIndex that an operation may touch, or 0 when there is no bar:
** a cursor off the grid, a bar length outside 1..24, or a bar that would leave the
** record's STEP_SLOTS entries. */
static int BarSteps(void) {
  int steps = CursorBarSteps();
  if (steps == 0 || gStartIndex < 0 || gStartIndex + steps > STEP_SLOTS) return 0;
  return steps;
}

static void SavePart(bool perc, int start, PartBar& saved, int steps) {
  for (int w = 0; w < PART_WORDS; w++)
    for (int i = 0; i < steps; i++) saved[w][i] = StepGet(PartArrays(perc)[w], start + i);
}

static void RestorePart(bool perc, int start, const PartBar& saved, int steps) {
  for (int w = 0; w < PART_WORDS; w++)
    for (int i = 0; i < steps; i++) StepSet(PartArrays(perc)[w], start + i, saved[w][i]);
}

/* ---------------------------------------------------------------- copy, cut, paste */

/* Copies one part of the cursor's bar (percussion or instrument) into the clipboard and
** the cut-undo buffers and, for a cut, clears it there. A copy changes nothing in the
** pattern but counts as an edit. For the instrument the row-0 and row-1 flags live in
** VoiceL and go with the part; VoiceXL/VoiceXH stay. */
static bool CopyBar(bool perc, bool cut) {
  int steps = BarSteps();
  if (!steps) return false;
  gCutUndoIndex = gStartIndex;
  gCutUndoCount = static_cast<int16_t>(steps);
  SavePart(perc, gStartIndex, perc ? gPercCopy : gVoiceCopy, steps);
  SavePart(perc, gStartIndex, perc ? gPercCutUndo : gVoiceCutUndo, steps);
  if (cut) {
    static const PartBar kEmpty = {};
    RestorePart(perc, gStartIndex, kEmpty, steps);
  }
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
  SavePart(true, s0, gPercPasteUndo, steps);
  SavePart(false, s0, gVoicePasteUndo, steps);
  if (mode & 1) RestorePart(true, s0, gPercCopy, steps);
  if (mode & 2) RestorePart(false, s0, gVoiceCopy, steps);
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
    UndoChord();
  } else {
    int pasteSteps = gPasteUndoCount, cutSteps = gCutUndoCount;
    if (mode & 3) DropClickBackupIn(gPasteUndoIndex, pasteSteps);
    if (mode & 12) DropClickBackupIn(gCutUndoIndex, cutSteps);
    if (mode & 1) RestorePart(true, gPasteUndoIndex, gPercPasteUndo, pasteSteps);
    if (mode & 2) RestorePart(false, gPasteUndoIndex, gVoicePasteUndo, pasteSteps);
    if (mode & 4) RestorePart(true, gCutUndoIndex, gPercCutUndo, cutSteps);
    if (mode & 8) RestorePart(false, gCutUndoIndex, gVoiceCutUndo, cutSteps);
  }
  gUndoMode = 0;
  MarkChanged();
  return true;
}

/* ---------------------------------------------------------------- rotation */

/* Every word of a step: the six of the record and the eight of its dynamics. */
struct StepWords {
  uint32_t w[PATTERN_WORDS];
};

static StepWords ReadStep(int step) {
  StepWords s;
  for (int k = 0; k < PATTERN_WORDS; k++) s.w[k] = StepGet(PatternArrays()[k], step);
  return s;
}

static void WriteStep(int step, const StepWords& s) {
  for (int k = 0; k < PATTERN_WORDS; k++) StepSet(PatternArrays()[k], step, s.w[k]);
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

/* Shifts one step's chain, given as its two pieces, by `semitones` positions (up when
** positive); notes shifted past either end are lost. */
static void ShiftChain(uint64_t* low, uint64_t* high, int semitones) {
  for (int n = 0; n < semitones; n++) {
    *high = (*high << 1) | (*low >> 61);
    *low = (*low << 1) & kLowMask;
  }
  for (int n = 0; n < -semitones; n++) {
    *low = (*low >> 1) | ((*high & 1) << 61);
    *high >>= 1;
  }
}

/* The dynamics of a step's instrument notes shifted alike. They exist for rows 2..63 only
** (VoiceL bits 2..31 and VoiceH): a note shifted out into VoiceXL or VoiceXH loses its
** dynamic and comes back normal. */
static void ShiftDynamics(int dyn, int step, int semitones) {
  uint32_t* wordsL = DynamicWords(dyn, gTbro.VoiceL);
  uint32_t* wordsH = DynamicWords(dyn, gTbro.VoiceH);
  uint64_t low = uint64_t(StepGet(wordsL, step) >> 2) << 32;
  uint64_t high = StepGet(wordsH, step);
  ShiftChain(&low, &high, semitones);
  StepSet(wordsL, step, static_cast<uint32_t>(low >> 32) << 2);
  StepSet(wordsH, step, static_cast<uint32_t>(high));
}

/* Shifts the chain of every step of the bar by |semitones| positions, up when positive. */
static bool ShiftBar(int semitones) {
  int steps = BarSteps();
  if (!steps) return false;
  int s0 = gStartIndex;
  for (int i = 0; i < steps; i++) {
    int s = s0 + i;
    uint32_t voiceL = StepGet(gTbro.VoiceL, s);
    uint64_t low = StepGet(gTbro.VoiceXL, s) | (uint64_t(voiceL >> 2) << 32);
    uint64_t high = StepGet(gTbro.VoiceH, s) | (uint64_t(StepGet(gTbro.VoiceXH, s)) << 32);
    ShiftChain(&low, &high, semitones);
    StepSet(gTbro.VoiceXL, s, static_cast<uint32_t>(low));
    StepSet(gTbro.VoiceL, s, static_cast<uint32_t>(low >> 32) << 2 | (voiceL & 3u));
    StepSet(gTbro.VoiceH, s, static_cast<uint32_t>(high));
    StepSet(gTbro.VoiceXH, s, static_cast<uint32_t>(high >> 32));
    ShiftDynamics(DYN_ACCENT, s, semitones);
    ShiftDynamics(DYN_GHOST, s, semitones);
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
