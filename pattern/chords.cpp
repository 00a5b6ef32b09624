/*
** This file contains chord completion: a digit key writes a chord into the instrument part
** of the cursor's step with the cursor row as its root. Each chord is a 12-bit mask, bit k
** a note k semitones above the root; InsertOctave replaces the twelve rows root..root+11 of
** the step by it. The step's instrument rows are one 64-bit word VoiceH:VoiceL (row r =
** bit r); VoiceXL/VoiceXH and the percussion are not involved. One chord can be undone
** (gUndoMode 16, reverted by UndoBar).
*/
#include "pattern/pattern.h"

void ChordsReset(void) {}

/* Chord masks: semitones above the root. */
#define CHORD_SUS2 0x085u        /* 0 2 7 */
#define CHORD_SUS4 0x0A1u        /* 0 5 7 */
#define CHORD_MIN_SIXTH 0x289u   /* 0 3 7 9 */
#define CHORD_MINOR 0x089u       /* 0 3 7 */
#define CHORD_MAJOR 0x091u       /* 0 4 7 */
#define CHORD_DIM_SEPT 0x449u    /* 0 3 6 10 */
#define CHORD_MAJ_SIXTH 0x291u   /* 0 4 7 9 */
#define CHORD_DOMINANT 0x491u    /* 0 4 7 10 */
#define CHORD_MINOR_SEPT 0x489u  /* 0 3 7 10 */
#define CHORD_MAJOR_SEPT 0x891u  /* 0 4 7 11 */

/* The root comes from the cursor: a column of the grid and a row 1..48. Row 0 (the split
** flags) takes no chord; a cursor off the grid or in the marker strip takes none either,
** as D, V and X do nothing there. The click that selected the root is taken back first in
** every case. */
bool InsertOctave(uint32_t mask) {
  if (gbNewBDown) UndoMouse();
  int column = gMouseX, root = gMouseY;
  if (column < 0 || column >= STEP_COUNT || root < 1 || root > 48) return false;

  uint32_t low = StepGet(gTbro.VoiceL, column);
  uint32_t high = StepGet(gTbro.VoiceH, column);
  gChordUndoL = low;
  gChordUndoH = high;
  gChordIndex = column;

  /* Window: rows root..root+11 clear, every other row kept (root + 11 <= 59 < 64). */
  uint64_t window = ~(uint64_t(0xFFFu) << root);
  uint64_t chord = uint64_t(mask & 0xFFFu) << root;

  uint64_t word = (uint64_t(high) << 32 | low) & window;
  word |= chord;
  StepSet(gTbro.VoiceL, column, static_cast<uint32_t>(word));
  StepSet(gTbro.VoiceH, column, static_cast<uint32_t>(word >> 32));

  gUndoMode = 16;
  MarkChanged();
  return true;
}

bool CompleteSus2(void) { return InsertOctave(CHORD_SUS2); }
bool CompleteSus4(void) { return InsertOctave(CHORD_SUS4); }
bool CompleteMinSixth(void) { return InsertOctave(CHORD_MIN_SIXTH); }
bool CompleteMinor(void) { return InsertOctave(CHORD_MINOR); }
bool CompleteMajor(void) { return InsertOctave(CHORD_MAJOR); }
bool CompleteDimSept(void) { return InsertOctave(CHORD_DIM_SEPT); }
bool CompleteMajSixth(void) { return InsertOctave(CHORD_MAJ_SIXTH); }
bool CompleteDominant(void) { return InsertOctave(CHORD_DOMINANT); }
bool CompleteMinorSept(void) { return InsertOctave(CHORD_MINOR_SEPT); }
bool CompleteMajorSept(void) { return InsertOctave(CHORD_MAJOR_SEPT); }
