/*
** The pattern model: the pattern record that is also the project file image, the settings
** globals its header mirrors (with their shadows), the derived values, the project state
** flags, and the editing operations of the grid (single cells, whole bars, chords).
**
** Threads. The window thread edits the pattern and the settings; the step clock (timer
** thread) reads them at every event, loads playlist entries into the record and lands MIDI
** input in it. Nothing is locked. Every value shared that way is a Shared<T> (one whole
** atomic store or load) and every step word of the record is read and changed only through
** the Step* helpers below (atomic read-modify-write on the 32-bit word), so an edit on one
** thread never undoes a concurrent edit of the same word on another.
*/
#ifndef TBX_PATTERN_H
#define TBX_PATTERN_H

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "app/config.h"
#include "platform/win32.h"

/* ---------------------------------------------------------------- shared values */

/* A global read and written by more than one thread: every access is one atomic load or
** store of the whole value (sequentially consistent). Reads convert implicitly; it cannot
** be passed through "..." (format it through a cast to int). */
template <class T>
class Shared {
 public:
  constexpr Shared(T v = T()) noexcept : v_(v) {}
  Shared(const Shared&) = delete;
  operator T() const noexcept { return v_.load(); }
  T load() const noexcept { return v_.load(); }
  Shared& operator=(T v) noexcept { v_.store(v); return *this; }
  Shared& operator=(const Shared& o) noexcept { v_.store(o.load()); return *this; }
  T operator++() noexcept { return static_cast<T>(++v_); }
  T operator--() noexcept { return static_cast<T>(--v_); }
  T operator++(int) noexcept { return v_++; }
  T operator--(int) noexcept { return v_--; }
  Shared& operator+=(T d) noexcept { v_ += d; return *this; }
  Shared& operator-=(T d) noexcept { v_ -= d; return *this; }
  Shared& operator|=(T d) noexcept { v_ |= d; return *this; }
  Shared& operator&=(T d) noexcept { v_ &= d; return *this; }
  Shared& operator^=(T d) noexcept { v_ ^= d; return *this; }
  T exchange(T v) noexcept { return v_.exchange(v); }
  bool compare_exchange(T& expected, T desired) noexcept {
    return v_.compare_exchange_strong(expected, desired);
  }

 private:
  std::atomic<T> v_;
};

/* ---------------------------------------------------------------- the record */

/* The pattern record and project file image: 3540 bytes, little-endian, header words
** signed 16-bit, array entries unsigned 32-bit. Offsets are the file format. */
struct TbroRecord {
  char     Id[4];          /*    0 "TBRX", written on every save; zero until the first */
  int16_t  Size;           /*    4 always 3540 once saved */
  int16_t  MsecPerBeat;    /*    6 ms per beat (60000 / BPM); mirrors gMsecPerBeat */
  int16_t  RelBeat;        /*    8 steps-per-beat index 0..9; mirrors gRelBeat */
  int16_t  LoopStart;      /*   10 first step played, 0-based */
  int16_t  LoopEnd;        /*   12 one past the last step played */
  int16_t  BeatsPBar;      /*   14 steps per bar; mirrors gBeatsPBar */
  int16_t  Accent;         /*   16 bar accent 0..6 (snapshot: the export reads it) */
  int16_t  FreeAccent;     /*   18 free-accent level 1..13 */
  int16_t  Voice;          /*   20 GM program 0..127 of the chromatic instrument */
  int16_t  VoiceLevel;     /*   22 instrument level index 0..7 */
  int16_t  Transpose;      /*   24 transposition index 0..24 */
  int16_t  MidiOutPort;    /*   26 output device index */
  int16_t  MidiInPort;     /*   28 input device index */
  int16_t  PercCh;         /*   30 0-based percussion channel (9 or 15) */
  int16_t  VoiceCh;        /*   32 0-based instrument channel 0..15 */
  int16_t  Reserved;       /*   34 always 0 */
  uint32_t PercL[STEP_SLOTS];   /*   36 percussion rows 0..31 of each step */
  uint32_t PercH[STEP_SLOTS];   /*  620 percussion rows 32..63 */
  uint32_t VoiceL[STEP_SLOTS];  /* 1204 instrument rows 0..31 */
  uint32_t VoiceH[STEP_SLOTS];  /* 1788 instrument rows 32..63 */
  uint32_t VoiceXL[STEP_SLOTS]; /* 2372 instrument notes shifted out below row 2 */
  uint32_t VoiceXH[STEP_SLOTS]; /* 2956 instrument notes shifted out above row 63 */
};

#define TBRO_SIZE 3540      /* bytes of the current project file format */
#define TBRO_OLD_SIZE 3536  /* bytes of the older format (no MidiInPort, no Reserved) */

static_assert(sizeof(TbroRecord) == TBRO_SIZE, "the record is the 3540-byte file image");
static_assert(offsetof(TbroRecord, Size) == 4 && offsetof(TbroRecord, MsecPerBeat) == 6 &&
              offsetof(TbroRecord, RelBeat) == 8 && offsetof(TbroRecord, LoopStart) == 10 &&
              offsetof(TbroRecord, LoopEnd) == 12 && offsetof(TbroRecord, BeatsPBar) == 14 &&
              offsetof(TbroRecord, Accent) == 16 && offsetof(TbroRecord, FreeAccent) == 18 &&
              offsetof(TbroRecord, Voice) == 20 && offsetof(TbroRecord, VoiceLevel) == 22 &&
              offsetof(TbroRecord, Transpose) == 24 && offsetof(TbroRecord, MidiOutPort) == 26 &&
              offsetof(TbroRecord, MidiInPort) == 28 && offsetof(TbroRecord, PercCh) == 30 &&
              offsetof(TbroRecord, VoiceCh) == 32 && offsetof(TbroRecord, Reserved) == 34,
              "header offsets are the file format");
static_assert(offsetof(TbroRecord, PercL) == 36 && offsetof(TbroRecord, PercH) == 620 &&
              offsetof(TbroRecord, VoiceL) == 1204 && offsetof(TbroRecord, VoiceH) == 1788 &&
              offsetof(TbroRecord, VoiceXL) == 2372 && offsetof(TbroRecord, VoiceXH) == 2956,
              "array offsets are the file format");

extern TbroRecord gTbro;      /* the current pattern; step words via Step*, header via Header* */
extern TbroRecord gTbroTemp;  /* raw image of the last project file read, accepted or not */

/* Step words: atomic access, index checked. An index outside 0..STEP_SLOTS-1 reads 0 and
** writes nothing, so no caller can reach outside the record even by mistake. */
uint32_t StepGet(const uint32_t* words, int step);
void StepSet(uint32_t* words, int step, uint32_t value);
void StepOr(uint32_t* words, int step, uint32_t bits);
void StepAnd(uint32_t* words, int step, uint32_t bits);
void StepXor(uint32_t* words, int step, uint32_t bits);

/* Header words of gTbro that both threads touch (LoopStart, LoopEnd, ...): atomic access. */
int16_t HeaderGet(const int16_t& field);
void HeaderSet(int16_t& field, int16_t value);

/* ---------------------------------------------------------------- settings (window thread writes) */

extern Shared<int16_t> gMsecPerBeat;   /* ms per beat, 60000 / BPM; tempo bar and first-file loads */
extern Shared<int16_t> gRelBeat;       /* steps per beat index 0..9 ("1/4" .. "*12"); menu base 40300 */
extern Shared<int16_t> gBeatsPBar;     /* steps per bar 3,4,5,6,8,12,16,24; menu base 40200 */
extern Shared<int16_t> gAccent;        /* bar accent 0..6, +10 velocity per unit; base 40400 */
extern Shared<int16_t> gFreeAccent;    /* free-accent level 1..13, offset 10*v-70; base 40500 */
extern Shared<int16_t> gVoice;         /* GM program 0..127; base 40600 */
extern Shared<int16_t> gVoiceLevel;    /* instrument level index 0..7; base 40700 */
extern Shared<int16_t> gTranspose;     /* transposition index 0..24; base 40900 */
extern Shared<int16_t> gMidiOutPort;   /* output device index; -1 until chosen at creation; base 41000 */
extern Shared<int16_t> gMidiInPort;    /* input device index; base 41100 */
extern Shared<int16_t> gPercCh;        /* 0-based percussion channel 9 or 15; base 41200 */
extern Shared<int16_t> gVoiceCh;       /* 0-based instrument channel 0..15; base 41300 */
extern Shared<int16_t> gVelocity;      /* base velocity 20..127 (velocity bar), not saved */
extern Shared<int32_t> giTempo;        /* tempo in BPM 40..506 */

/* Shadows: the value whose menu item carries the check mark (or, for gOldVoice and
** gOldMsecPerBeat, the value last taken into account). */
extern Shared<int16_t> gOldMsecPerBeat, gOldRelBeat, gOldBeatsPBar, gOldAccent, gOldFreeAccent;
extern Shared<int16_t> gOldVoice, gOldVoiceLevel, gOldTranspose, gOldMidiOutPort, gOldMidiInPort;
extern Shared<int16_t> gOldPercCh, gOldVoiceCh;
extern Shared<int16_t> gVoiceChecked;     /* value whose instrument item is checked; 99 = "Others" */
extern Shared<int16_t> gOldVoiceChecked;  /* its previous value while the number dialog is open */

/* ---------------------------------------------------------------- derived values */

extern Shared<int16_t> gNoteOffset;       /* MIDI note of instrument row 0 (row r sounds r + it) */
extern Shared<int16_t> gDeltaVoiceLevel;  /* level offset of the pattern (level table) */
extern Shared<int16_t> gXDVoiceLevel;     /* extra level set while a playlist plays */

/* ---------------------------------------------------------------- project state flags (0/1) */

extern Shared<int> gbNeedSave;     /* unsaved changes: save prompt before New/Open/close */
extern Shared<int> gbFileChanged;  /* changed since loaded or created: Save writes a backup */
extern Shared<int> gbNewFile;      /* started with New (or first Save): Save As skips the backup */
extern Shared<int> gbEdit;         /* 1 single-pattern edit mode, 0 playlist mode */
extern Shared<int> gbFirstFile;    /* the file being read is a first file: tempo, transposition */
extern Shared<int> gbLoadMidi;     /* the file being read also sets ports and channels */

/* ---------------------------------------------------------------- shared operations */

void PatternReset(void);           /* every global of this subsystem back to program start */
void PatternClear(void);           /* all 146 entries of all six arrays to 0; drops the click backup */
void MarkChanged(void);            /* the pattern changed: gbNeedSave and gbFileChanged set */
void FillHeaderFromSettings(void); /* copy the twelve settings into their header fields */
void RecomputeNoteOffset(void);    /* gNoteOffset = 46 - gTranspose, less octaves for basses */
int16_t LevelOffset(int level);    /* level table: 0..7 -> -127,-60,-40,-20,0,20,40,60; else 0 */

/* Cell bits of row r at step s (r 0..63; s checked by the Step* helpers). */
int CellPerc(int step, int row);
int CellVoice(int step, int row);
void CellTogglePerc(int step, int row);
void CellToggleVoice(int step, int row);
void CellClear(int step, int row);        /* clears both bits of that row */

/* ---------------------------------------------------------------- grid editing (window thread) */

extern int16_t gMouseX, gMouseY;        /* cursor cell: column and row of the last click/arrow */
extern int16_t gOldMouseX, gOldMouseY;  /* the highlighted cell; -1 = none */
extern int16_t gMTrackX, gMTrackY;      /* last pointer position, client pixels */
extern Shared<int> gbNewBDown;          /* a click backup is pending; a file read on either thread drops it */
extern uint32_t gPercBackL, gPercBackH, gVoiceBackL, gVoiceBackH; /* the click backup */
extern int16_t gStartIndex;             /* first step of the cursor's bar */
extern int16_t gPasteMode;              /* clipboard holds 1 percussion, 2 chromatic, 3 both */
extern int16_t gUndoMode;               /* what UndoBar reverts: bits 1,2,4,8 or exactly 16 */

/* Steps the bar keys may touch from the cursor: gBeatsPBar, or 0 when the cursor column
** gMouseX lies outside 0..STEP_COUNT-1 or gBeatsPBar outside 1..24 (a bar never exceeds
** the 24-word clipboard, and a cursor off the grid selects no bar). */
int CursorBarSteps(void);
/* Forgets a pending click backup, so that no later key writes it into another column or
** another pattern. PatternClear (New) and an arrow key that moves the cursor to another
** column call it; every accepted file read should call it too (any thread). */
void DropClickBackup(void);
/* Drops a pending click backup whose column lies in steps first..first+count-1: an operation
** that rewrote those steps (bar undo, rotation) left other notes in the clicked bits, and
** taking the click back would delete them. */
void DropClickBackupIn(int first, int count);

LRESULT OnMouseMove(HWND hwnd);
LRESULT OnButtonDown(HWND hwnd, UINT message, LPARAM lParam); /* WM_L/R/MBUTTONDOWN */
LRESULT OnChar(HWND hwnd, WPARAM ch);
void handleKeydown(HWND hwnd, WPARAM key);                     /* VK_LEFT .. VK_DOWN */
void UndoMouse(void);

/* ---------------------------------------------------------------- bar clipboard, transforms, undo */

extern uint32_t gPercCopyL[24], gPercCopyH[24], gVoiceCopyL[24], gVoiceCopyH[24];
extern uint32_t gPercCutUndoL[24], gPercCutUndoH[24], gVoiceCutUndoL[24], gVoiceCutUndoH[24];
extern uint32_t gPercPasteUndoL[24], gPercPasteUndoH[24], gVoicePasteUndoL[24], gVoicePasteUndoH[24];
extern int16_t gCutUndoIndex, gPasteUndoIndex;
/* Steps each undo buffer holds (the bar length when it was filled; 0 = nothing saved), so
** that an undo restores exactly the steps it saved even after gBeatsPBar changed. */
extern int16_t gCutUndoCount, gPasteUndoCount;

void CopyVoiceBar(void);
void CopyPercBar(void);
void ClearVoiceBar(void);
void ClearPercBar(void);
void PasteBar(void);
void RotateLeft(void);
void RotateRight(void);
void OctaveUp(void);
void OctaveDown(void);
void SemitoneUp(void);
void SemitoneDown(void);
void UndoBar(void);

/* ---------------------------------------------------------------- chords */

extern uint32_t gPatternL, gPatternH;     /* chord mask shifted to the root (64-bit halves) */
extern uint32_t gChordUndoL, gChordUndoH; /* VoiceL/VoiceH of the chord's step before it */
extern int32_t gChordIndex;               /* the step the last chord was written to */

void InsertOctave(uint32_t mask);
void CompleteSus2(void);
void CompleteSus4(void);
void CompleteMinSixth(void);
void CompleteMinor(void);
void CompleteMajor(void);
void CompleteDimSept(void);
void CompleteMajSixth(void);
void CompleteDominant(void);
void CompleteMinorSept(void);
void CompleteMajorSept(void);

#endif
