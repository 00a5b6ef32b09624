/*
** The pattern model: the pattern record that is also the project file image, the settings
** its header mirrors (one table of them, with their shadows), the tempo arithmetic and the
** other derived values, the project state flags, the editing operations of the grid
** (single cells, character keys, whole bars, chords) and the notes a step produces. It
** knows no window: the operations say what changed, and the window side shows it.
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

#include "base/config.h"

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
** writes nothing, so no caller can reach outside the record even by mistake. The
** read-modify-writes return the word as it was before (0 outside the record). */
uint32_t StepGet(const uint32_t* words, int step);
void StepSet(uint32_t* words, int step, uint32_t value);
uint32_t StepOr(uint32_t* words, int step, uint32_t bits);
uint32_t StepAnd(uint32_t* words, int step, uint32_t bits);
uint32_t StepXor(uint32_t* words, int step, uint32_t bits);

/* Header words of gTbro that both threads touch (LoopStart, LoopEnd, ...): atomic access. */
int16_t HeaderGet(const int16_t& field);
void HeaderSet(int16_t& field, int16_t value);

/* ---------------------------------------------------------------- the settings table */

/* Every setting the menus choose (and the two the scroll bars set) is one row of gSettings:
** its menu, its value with the shadow that says which menu item carries the check mark,
** the record field it is saved in, its start value, what a change of it sets off and when
** a file read takes it. Menu building and check marks, the settings commands, the reset,
** the header fill before a save and the settings taken at a load all iterate the table. */

struct SettingItem {
  const char* label;  /* nullptr: a separator */
  int16_t value;      /* the item's identifier is the setting's base + value */
};

/* What a change of a setting sets off; the window side runs it (app/menu.cpp). */
enum : unsigned {
  FX_REPAINT = 1u,  /* the grid shows it: repaint */
  FX_SAVED = 2u,    /* saved with the pattern: a change marks the pattern changed */
  FX_NOTE = 4u,     /* the base note follows: recompute and show it */
  FX_LEVEL = 8u,    /* the instrument level offset follows */
  FX_BEAT = 16u,    /* the step length follows (AdjustBeat), changed or not */
  FX_MUTE = 32u,    /* the mute cycle starts again (SetMuteMode), changed or not */
};

/* When a project file read takes the setting from the record. */
enum SettingLoad : uint8_t {
  LOAD_NEVER,
  LOAD_ALWAYS,
  LOAD_IN_EDIT,    /* only in single-pattern edit mode (gbEdit) */
  LOAD_FIRST,      /* only for a first file (gbFirstFile): tempo and transposition */
  LOAD_WITH_MIDI,  /* only with "Load File incl. MIDI Port+Ch." (gbLoadMidi) */
};

struct Setting {
  const char* title;            /* menu title; nullptr: no menu of its own */
  int base;                     /* command base of its menu items */
  const SettingItem* items;     /* nullptr: one item per MIDI device (the port settings) */
  int count;                    /* items; 0 for the ports (one item per device found) */
  Shared<int16_t>& value;
  Shared<int16_t>* shadow;      /* nullptr: no check mark to follow */
  int16_t TbroRecord::*field;   /* nullptr: not saved in the record */
  int16_t start;                /* value at program start */
  unsigned effects;             /* FX_* */
  SettingLoad load;
  const char* refusal;          /* while a sequence plays the change is refused with this */
};

/* Rows of gSettings, in menu order; bit (1 << row) of a load's report is that row. */
enum SettingRow {
  SET_BEATSPBAR, SET_RELBEAT, SET_ACCENT, SET_FREEACCENT, SET_VOICE, SET_VOICELEVEL, SET_MUTE,
  SET_TRANSPOSE, SET_MIDIOUT, SET_MIDIIN, SET_PERCCH, SET_VOICECH, SET_MSECPERBEAT,
  SET_VELOCITY, SET_SWING, SET_ROWS
};
extern const Setting gSettings[SET_ROWS];

/* The menu title of a row: the 72-step program's menu bar is narrower and shortens two. */
const char* SettingTitle(const Setting& s);
/* The row whose menu holds command `id` (base <= id < base + 100), or nullptr. */
const Setting* SettingOfCommand(int id);
/* Is `value` one that an item of the row selects (for ports: a device index)? Identifiers
** that no item carries are ignored, so a stray one can never set a value the program
** cannot handle. */
bool SettingHasValue(const Setting& s, int value);
/* The check marks' view of the instrument: its item value, or 99 ("Others"). */
int16_t VoiceItem(int voice);

/* ---------------------------------------------------------------- settings (window thread writes) */

extern Shared<int16_t> gMsecPerBeat;   /* ms per beat, 60000 / BPM; tempo bar and first-file loads */
extern Shared<int16_t> gRelBeat;       /* steps per beat index 0..9 ("1/4" .. "*12") */
extern Shared<int16_t> gBeatsPBar;     /* steps per bar 3,4,5,6,8,12,16,24 */
extern Shared<int16_t> gAccent;        /* bar accent 0..6, +10 velocity per unit */
extern Shared<int16_t> gFreeAccent;    /* free-accent level 1..13, offset 10*v-70 */
extern Shared<int16_t> gVoice;         /* GM program 0..127 of the chromatic instrument */
extern Shared<int16_t> gVoiceLevel;    /* instrument level index 0..7 */
extern Shared<int16_t> gMute;          /* Mute entry 0..11 (not saved) */
extern Shared<int16_t> gTranspose;     /* transposition index 0..24 */
extern Shared<int16_t> gMidiOutPort;   /* output device index; -1 until chosen at creation;
                                       ** goNumDevs while the chosen port is absent */
extern Shared<int16_t> gMidiInPort;    /* input device index (giNumDevs: absent) */
extern Shared<int16_t> gPercCh;        /* 0-based percussion channel 9 or 15 */
extern Shared<int16_t> gVoiceCh;       /* 0-based instrument channel 0..15 */
extern Shared<int16_t> gVelocity;      /* base velocity 20..127 (velocity bar), not saved */
extern Shared<int16_t> gSwing;         /* swing SWING_STRAIGHT..SWING_MAX %; saved in a chunk */
extern Shared<int32_t> giTempo;        /* tempo in BPM TEMPO_MIN..TEMPO_MAX (tempo bar) */
extern unsigned goNumDevs, giNumDevs;  /* MIDI output and input devices as last listed (at
                                       ** creation, when a menu opens, before a run; window) */

/* Shadows other subsystems read (the others are reached through gSettings[row].shadow): the
** value whose menu item carries the check mark; gOldVoice is the instrument last taken into
** account for the base note, gOldMsecPerBeat the tempo last given to the step length.
** Window thread, and a file read for gOldMsecPerBeat. */
extern Shared<int16_t> gOldMsecPerBeat, gOldVoice, gOldVoiceLevel, gOldMidiOutPort, gOldMidiInPort;
extern Shared<int16_t> gVoiceChecked;     /* value whose instrument item is checked; 99 = "Others" */
extern Shared<int16_t> gOldVoiceChecked;  /* its previous value while the number dialog is open */

enum { TEMPO_MIN = 40, TEMPO_MAX = 506 };  /* BPM the tempo bar reaches */
/* A tempo in BPM kept to TEMPO_MIN..TEMPO_MAX. */
int32_t ClampTempo(int32_t bpm);

/* ---------------------------------------------------------------- derived values */

extern Shared<int16_t> gNoteOffset;       /* MIDI note of instrument row 0 (row r sounds r + it) */
extern Shared<int16_t> gDeltaVoiceLevel;  /* level offset of the pattern (level table) */
extern Shared<int16_t> gXDVoiceLevel;     /* extra level set while a playlist plays */
extern Shared<int16_t> gAdjustedBeat;     /* ms of one step (RecomputeStepLength) */
extern Shared<int16_t> gHalfBeat;         /* ms of the first half of a step */

void RecomputeNoteOffset(void);    /* gNoteOffset = 46 - gTranspose, less octaves for basses */
/* gAdjustedBeat and gHalfBeat from gMsecPerBeat and gRelBeat; 16-bit results, halves
** truncated, so the second half gets the odd millisecond. */
void RecomputeStepLength(void);
const char* RelBeatLabel(void);    /* "/ 4" .. "*12": the rel.Beat read-out for gRelBeat */
/* A step at the rel.Beat now lasts num / den beats (4/1 for "/ 4" .. 1/12 for "*12"). */
void RelBeatRatio(int* num, int* den);
int16_t LevelOffset(int level);    /* level table: 0..7 -> -127,-60,-40,-20,0,20,40,60; else 0 */

/* ---------------------------------------------------------------- project state flags (0/1) */

extern Shared<int> gbNeedSave;     /* unsaved changes: save prompt before New/Open/close */
extern Shared<int> gbFileChanged;  /* changed since loaded or created: Save writes a backup */
extern Shared<int> gbNewFile;      /* started with New (or first Save): Save As skips the backup */
extern Shared<int> gbEdit;         /* 1 single-pattern edit mode, 0 playlist mode */
extern Shared<int> gbFirstFile;    /* the file being read is a first file: tempo, transposition */
extern Shared<int> gbLoadMidi;     /* the file being read also sets ports and channels */

/* ---------------------------------------------------------------- shared operations */

void PatternReset(void);           /* every global of this subsystem back to program start */
void SettingsReset(void);          /* the settings, shadows and derived values (PatternReset) */
void EditReset(void);              /* the cursor and the click backup (PatternReset) */
void PatternClear(void);           /* all 146 entries of all six arrays to 0; drops the click backup */
void MarkChanged(void);            /* the pattern changed: gbNeedSave and gbFileChanged set */
void FillHeaderFromSettings(void); /* copy the saved settings into their header fields */
/* Takes the settings from the record in gTbro by the load rules (gbEdit, gbFirstFile,
** gbLoadMidi), and the swing the file's chunks gave (SWING_STRAIGHT when it had none),
** and recomputes what follows from them. Returns what changed: bit (1 << row) for each
** row whose value changed, LOADED_TEMPO when the tempo was taken (a first file). Either
** thread; the window shows the report (app/menu.cpp). */
enum : unsigned { LOADED_TEMPO = 1u << 31 };
unsigned TakeRecordSettings(int16_t swing);
/* What file reads changed since the window last showed it (TakeRecordSettings ORs its
** report in; the window takes it with exchange(0)). */
extern Shared<unsigned> gSettingsReport;

/* The play range: the steps start..end-1 that are played, exported and rotated. A well-formed
** header (0 <= LoopStart < LoopEnd <= STEP_COUNT) is used as it is; a LoopEnd outside
** 1..STEP_COUNT means STEP_COUNT and a LoopStart outside the range 0, so a damaged value can
** neither divide by zero nor address a step outside the pattern. ClampPlayRange applies the
** rule to a pair of values (a file's header is repaired by it); PlayRange to gTbro's. */
void ClampPlayRange(int* start, int* end);
void PlayRange(int* start, int* end);

/* Cell bits of row r at step s (r 0..63; s checked by the Step* helpers). A toggle or a
** clear leaves the cell's notes normal (without a dynamic). */
int CellPerc(int step, int row);
int CellVoice(int step, int row);
void CellTogglePerc(int step, int row);
void CellToggleVoice(int step, int row);
void CellClear(int step, int row);        /* clears both bits of that row */

/* ---------------------------------------------------------------- grid editing (window thread) */

extern int16_t gMouseX, gMouseY;        /* cursor cell: column and row of the last click/arrow */
extern Shared<int> gbNewBDown;          /* a click backup is pending; a file read on either thread drops it */
extern int16_t gStartIndex;             /* first step of the cursor's bar */
extern int16_t gPasteMode;              /* clipboard holds 1 percussion, 2 chromatic, 3 both */
extern int16_t gUndoMode;               /* what UndoBar reverts: bits 1,2,4,8 or exactly 16 */

bool ColumnOnGrid(int column);          /* 0 <= column < STEP_COUNT */
bool RowOnGrid(int row);                /* 0 <= row <= 48 */
/* Steps the bar keys may touch from the cursor: gBeatsPBar, or 0 when the cursor column
** gMouseX lies outside 0..STEP_COUNT-1 or gBeatsPBar outside 1..24 (a bar never exceeds
** the 24-word clipboard, and a cursor off the grid selects no bar). */
int CursorBarSteps(void);
/* Keeps the four words of the cursor column for a later key to take the click back; off
** the grid there is nothing to take back, so a pending backup is dropped instead. */
void TakeClickBackup(void);
/* Forgets a pending click backup, so that no later key writes it into another column or
** another pattern. PatternClear (New) and an arrow key that moves the cursor to another
** column call it; every accepted file read should call it too (any thread). */
void DropClickBackup(void);
/* Drops a pending click backup whose column lies in steps first..first+count-1: an operation
** that rewrote those steps (bar undo, rotation) left other notes in the clicked bits, and
** taking the click back would delete them. */
void DropClickBackupIn(int first, int count);
/* Takes back the bits of the backup column that the click changed and that still hold the
** click's value. */
void UndoMouse(void);

enum { BUTTON_LEFT, BUTTON_RIGHT, BUTTON_MIDDLE };
/* A click on a grid cell after TakeClickBackup: left toggles the percussion bit, right the
** instrument bit, middle clears both. */
void ClickCell(int button, int column, int row);
/* A Shift+click on a grid cell after TakeClickBackup: the left button cycles the dynamic of
** the cell's percussion note (its instrument note when it has no percussion), the right
** button the instrument note's first; the middle button clears as without Shift. False
** when nothing changed (an empty cell, a flag row). */
bool ShiftClickCell(int button, int column, int row);
/* Moves the end marker (end) or the start marker to `column` when the rules allow it;
** true when it moved. */
bool MoveLoopMarker(bool end, int column);

/* What the window redraws after a character key. */
enum { REDRAW_NONE, REDRAW_CURSOR, REDRAW_UPDATE, REDRAW_ALL };
/* Runs the edit of a character key (cell keys D V X A, bar keys, rotation, undo, chords) at
** the cursor; returns REDRAW_*. */
int EditKey(int ch);

/* ---------------------------------------------------------------- bar clipboard, transforms, undo */

void BarsReset(void);               /* clipboard and undo buffers to zero (PatternReset) */

/* Each returns true when it acted (false: no bar at the cursor, nothing to undo, no range). */
bool CopyVoiceBar(void);
bool CopyPercBar(void);
bool ClearVoiceBar(void);
bool ClearPercBar(void);
bool PasteBar(void);
bool RotateLeft(void);
bool RotateRight(void);
bool OctaveUp(void);
bool OctaveDown(void);
bool SemitoneUp(void);
bool SemitoneDown(void);
bool UndoBar(void);

/* ---------------------------------------------------------------- chords */

void ChordsReset(void);             /* the chord mask to zero (PatternReset) */
extern uint32_t gChordUndoL, gChordUndoH; /* VoiceL/VoiceH of the chord's step before it */
extern int32_t gChordIndex;               /* the step the last chord was written to */

/* Puts the step of the last chord back as it was before it, dynamics included (UndoBar). */
void UndoChord(void);
/* Each returns true when a chord was written (the cursor was on a root). */
bool InsertOctave(uint32_t mask);
bool CompleteSus2(void);
bool CompleteSus4(void);
bool CompleteMinSixth(void);
bool CompleteMinor(void);
bool CompleteMajor(void);
bool CompleteDimSept(void);
bool CompleteMajSixth(void);
bool CompleteDominant(void);
bool CompleteMinorSept(void);
bool CompleteMajorSept(void);

/* ---------------------------------------------------------------- groove: swing and dynamics */

/* Swing. Steps are taken in pairs from step 0 (bars start there): the first step of a pair
** takes gSwing % of the pair's length, so every odd step comes (gSwing - 50) / 50 of a step
** late and every even step stays on its time. 50 is straight; a value outside 50..75 (only
** a damaged file could give one) plays straight too. */
enum { SWING_STRAIGHT = 50, SWING_MAX = 75 };
/* How late step `step` sounds, in the unit of `length` (the length of one step, in ms for
** the step clock, in ticks for the export), rounded to the nearest unit: 0 for an even
** step or straight play, at most (length + 1) / 2. */
int SwingLate(int step, int length);

/* Dynamics. Every note cell (a percussion bit or an instrument bit of rows 2..63) is
** normal, accented or ghost. Two bit sets record it, laid out like PercL, PercH, VoiceL,
** VoiceH: a set bit of an Accent array marks the note of that cell accented, of a Ghost
** array ghost; a cell with both bits is accented. The bits are kept only for cells that
** hold a note: every edit that removes or adds a note clears its bits, so a new note is
** normal. Notes in VoiceXL/VoiceXH (shifted out of the stored rows) have no dynamic. The
** step clock reads the words while the window thread edits them: through the Step*
** helpers only, like the record's. */
enum { DYN_NORMAL, DYN_ACCENT, DYN_GHOST };
struct CellDynamics {
  uint32_t AccentPercL[STEP_SLOTS];
  uint32_t AccentPercH[STEP_SLOTS];
  uint32_t AccentVoiceL[STEP_SLOTS];
  uint32_t AccentVoiceH[STEP_SLOTS];
  uint32_t GhostPercL[STEP_SLOTS];
  uint32_t GhostPercH[STEP_SLOTS];
  uint32_t GhostVoiceL[STEP_SLOTS];
  uint32_t GhostVoiceH[STEP_SLOTS];
};
extern CellDynamics gDynamics;   /* of the pattern in gTbro; window and timer threads, Step* */

/* The whole state, for an undo history: copied out and put back through the Step*
** helpers (either may run while the step clock plays). */
void DynamicsCopy(CellDynamics* out);
void DynamicsRestore(const CellDynamics& in);
void DynamicsClear(void);        /* every cell normal (PatternClear, PatternReset) */
/* The Accent (dyn DYN_ACCENT) or Ghost array that goes with a note array of gTbro
** (PercL, PercH, VoiceL, VoiceH); nullptr for any other array. */
uint32_t* DynamicWords(int dyn, const uint32_t* notes);
/* The dynamic of the percussion (perc) or instrument note of cell (step, row); DYN_NORMAL
** for a flag row (0, 1), a row outside 0..63 and a cell without that note. */
int CellDynamic(int step, int row, bool perc);
/* Sets it; a flag row or a row outside 0..63 is left alone. */
void SetCellDynamic(int step, int row, bool perc, int dyn);
/* Shift+click and the key 'A': the note of the cell goes normal -> accent -> ghost ->
** normal. `percFirst` picks the percussion note when the cell has both (else the
** instrument note). Returns false (nothing changed) for an empty cell or a flag row. */
bool CycleCellDynamic(int step, int row, bool percFirst);
/* A note's velocity for its dynamic: accented + 30 (at most 127), ghost 40 % (rounded, at
** least 1). A velocity of 0 (a muted part, an instrument level of OFF, accents that take
** it below 0) stays 0: a dynamic changes how loud a note sounds, never whether it does. */
int DynamicVelocity(int velocity, int dyn);

/* ---------------------------------------------------------------- undo history */

/* The pattern as the user sees it and the history keeps it: the six step arrays, the
** dynamics of their notes and the play range. Settings chosen from the menus are not part
** of it. */
/* Step arrays of a state: the record's six, then from PATTERN_DYNAMICS the eight of the
** dynamics (Accent then Ghost of PercL, PercH, VoiceL, VoiceH). */
enum { PATTERN_DYNAMICS = 6, PATTERN_WORDS = 14 };
struct PatternState {
  uint32_t words[PATTERN_WORDS][STEP_SLOTS];  /* PercL, PercH, VoiceL, VoiceH, VoiceXL, VoiceXH,
                                              ** then gDynamics' arrays in their order */
  int16_t loopStart, loopEnd;
};
/* The PATTERN_WORDS step arrays in PatternState's order (gTbro's, then gDynamics'). */
uint32_t* const* PatternArrays(void);

/* Copies gTbro's arrays and play range, word by word. */
void TakePatternState(PatternState* state);
/* Brings gTbro from state `from` to state `to`: every word in which they differ gets exactly
** the differing bits flipped by one atomic XOR, so the step clock never sees a word half
** written, and a bit changed since `from` was taken (a note recorded meanwhile) is kept. The
** play range never reads empty in between. */
void RestorePatternState(const PatternState& from, const PatternState& to);

/* Changes made on another thread than the window's (the step clock landing MIDI input or
** loading a playlist entry; a file read on any thread) are write sections, so that the
** history's copies of the pattern are never torn by one and know which ones they hold. A
** section holds no lock and never waits; it must not paint (painting from the step clock
** waits for the window thread, which may be waiting for the section to end). */
/* What a half event changed. It should describe everything the half event writes: a change
** it leaves out still reaches the history, but as a step of its own at the next sync. */
struct StepFlips {
  int16_t step;
  uint32_t bits[PATTERN_WORDS];  /* bits changed in each word of the step, PatternState's order */
};
void PatternWriteBegin(void);
/* The section replaced the whole pattern (a file read): the history starts again from it. */
void PatternLoaded(void);
/* Ends a section. `recorded`: the notes a half event landed, one step of history (NULL for
** none). A hand-over of 64 such steps waits for the window thread; beyond that they are
** merged into the next step the window thread makes. */
void PatternWriteEnd(const StepFlips* recorded);

/* The undo history (window thread): up to HISTORY_LEVELS + 1 states of the pattern, the
** one it is in among them, the steps between them kept as their differences in a pool of
** HISTORY_LEVELS records. A user action between HistoryBegin and HistoryCommit is one
** step when it changed the pattern; each half event that recorded notes is one step; a
** change made outside both becomes a step of its own at the next sync. A file read starts
** the history again, with the loaded pattern as its first state. Brackets nest (a command
** may run a modal loop that dispatches other messages): only the outermost one counts, and
** nothing is taken in while one is open. */
enum { HISTORY_LEVELS = 100 };
void HistoryReset(void);      /* empty: the first sync takes the pattern as its first state */
void HistoryBegin(void);
/* True when the action made a step. */
bool HistoryCommit(void);
/* Takes in what happened since the last sync: recorded half events, a change made outside
** an action, a file read. True when the history changed. Does nothing inside a bracket. */
bool HistorySync(void);
/* Restore the state before (after) the current one; true when there was one. They drop a
** pending click backup and mark the pattern changed; the window repaints. */
bool HistoryUndo(void);
bool HistoryRedo(void);
bool HistoryCanUndo(void);    /* as of the last sync */
bool HistoryCanRedo(void);
size_t HistoryBytes(void);    /* of the pool the steps take */

/* ---------------------------------------------------------------- the notes of a step */

/* The one place that says which MIDI notes a step's words produce, for the step clock
** (playback/clock.cpp) and for the MIDI file export (midifile/convert.cpp).
**
** A walk goes through a step in this order: the percussion of the previous step ends
** (EndPercussion, rows 2..47), then StepNotes sends the percussion onsets of rows 2..31, the
** instrument rows 1..31 (row 1 is the release marker), then rows 32..59 with percussion
** before instrument within a row. Every note's start and end goes to the caller's sink (a
** start may have velocity 0: a muted or silenced part still starts its notes). Instrument
** notes sound until their row sounds again or a release marker ends rows 2..47; the
** caller's NoteBook remembers them.
**
** What differs between the two callers is stated by the caller, not coded twice:
**   - the velocities (bar and free accents, levels, mute) come in StepVoicing, each caller
**     computing them by its own rules; the walk then gives each note its cell's dynamic
**     (DynamicVelocity), alike for both;
**   - how a note's end is sent (a note off, or a note on with velocity 0) is the sink's;
**   - which parts are walked (a format 1 track has one) is StepVoicing.perc/.voice;
**   - a pitch beyond 0..127: playback sends nothing for it, the export keeps its low seven
**     bits (StepVoicing.wrapPitch).
*/

/* ---------------------------------------------------------------- MIDI numbers */

enum : int {
  MIDI_NOTE_OFF = 0x80,     /* status bytes of channel messages (low nibble: channel) */
  MIDI_NOTE_ON = 0x90,
  MIDI_CONTROL = 0xB0,
  MIDI_PROGRAM = 0xC0,
  MIDI_CC_VOLUME = 7,       /* controllers */
  MIDI_CC_ALL_NOTES_OFF = 123,
  MIDI_CLOCK = 0xF8,        /* system real-time: one byte each; 24 clocks a beat */
  MIDI_START = 0xFA,
  MIDI_CONTINUE = 0xFB,
  MIDI_STOP = 0xFC,
  PERC_NOTE_BASE = 33,      /* percussion row r plays General MIDI drum note r + 33 */
};

/* A velocity or data value kept to 0..127. */
int Clamp127(int v);

/* ---------------------------------------------------------------- the walk */

/* The notes a caller has left sounding: the percussion words of the last step walked (their
** notes end at the next step) and the note on each instrument row, 0 = none. */
struct NoteBook {
  Shared<uint32_t>& percLLast;
  Shared<uint32_t>& percHLast;
  Shared<int8_t>* pending;  /* 64 entries, one per instrument row */
};

/* How a step sounds for one caller. */
struct StepVoicing {
  int percVelocity;   /* 0..127, of a normal note (DynamicVelocity gives the others theirs) */
  int voiceVelocity;  /* 0..127, likewise */
  int noteOffset;     /* MIDI note of instrument row 0 */
  bool perc, voice;   /* which parts are walked */
  bool wrapPitch;     /* pitch outside 0..127: true keeps its low 7 bits, false sends nothing */
};

/* Receives one note's start (on) or end: perc tells the channel, percussion or instrument. */
typedef void (*NoteSink)(void* context, bool perc, bool on, int note, int velocity);

/* Ends the percussion of the step walked last (rows 2..47; row 48 is left to ring). */
void EndPercussion(const NoteBook& book, NoteSink sink, void* context);
/* The notes of step `step` of gTbro, in walk order; updates the book. */
void StepNotes(int step, const StepVoicing& voicing, const NoteBook& book, NoteSink sink,
               void* context);

#endif
