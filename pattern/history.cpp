/*
** This file contains the undo history: copies of the pattern as the user sees it (the six
** step arrays and the play range), one after every user action that changed it and one
** after every half event that recorded MIDI input, and the undo and redo that bring the
** pattern back to one of them.
**
** Threads. Only the window thread keeps the history, but two others change the pattern under
** it: the step clock lands recorded notes and loads playlist entries, and a file may be read
** on either thread. Each such change is a write section (gWriting, gWrites). The window
** thread's copy of the pattern retries until no section overlapped it, so every copy is a
** pattern that really was, and the count of sections ended before it says which changes it
** holds. A half event hands the bits it changed to the window thread through a ring with one
** producer (the step clock writes an entry, then publishes it) and one consumer (the window
** thread reads the entry, then frees it); every entry carries the count its section ended
** at. A sync takes each entry its copy holds as a step of its own, in order, and then the
** copy itself when it still differs: so the step of a user action comes after the half
** events that landed while it ran, and nothing the entries do not describe (an entry the
** full ring could not take, a change made outside any action) is ever lost. A file read
** counts in gLoads: the history starts again from the copy.
**
** Invariant (between brackets, right after a sync): the pattern is the current state plus at
** most the changes of sections that ended after the copy. Undo and redo flip only the bits
** in which two states differ, so those changes survive them and become steps at the next
** sync.
**
** Memory: HISTORY_LEVELS + 1 states of 3508 bytes (about 350 KB), allocated once.
*/
#include <atomic>
#include <cstring>
#include <thread>
#include <type_traits>

#include "pattern/pattern.h"

/* States are compared with memcmp: no padding may hide a difference or make one up. */
static_assert(std::has_unique_object_representations_v<PatternState>, "PatternState has no padding");

/* ---------------------------------------------------------------- a state of the pattern */

static uint32_t* const* StateArrays(void) {
  static uint32_t* const arrays[6] = {gTbro.PercL,  gTbro.PercH,   gTbro.VoiceL,
                                      gTbro.VoiceH, gTbro.VoiceXL, gTbro.VoiceXH};
  return arrays;
}

void TakePatternState(PatternState* state) {
  for (int a = 0; a < 6; a++)
    for (int s = 0; s < STEP_SLOTS; s++) state->words[a][s] = StepGet(StateArrays()[a], s);
  state->loopStart = HeaderGet(gTbro.LoopStart);
  state->loopEnd = HeaderGet(gTbro.LoopEnd);
}

void RestorePatternState(const PatternState& from, const PatternState& to) {
  for (int a = 0; a < 6; a++)
    for (int s = 0; s < STEP_SLOTS; s++) {
      const uint32_t differ = from.words[a][s] ^ to.words[a][s];
      if (differ) StepXor(StateArrays()[a], s, differ);
    }
  /* Only the window thread moves the markers. A new start at or beyond the present end
  ** would make the range empty for a moment: the end moves first then. */
  const bool endFirst = to.loopStart >= HeaderGet(gTbro.LoopEnd);
  if (endFirst) HeaderSet(gTbro.LoopEnd, to.loopEnd);
  HeaderSet(gTbro.LoopStart, to.loopStart);
  if (!endFirst) HeaderSet(gTbro.LoopEnd, to.loopEnd);
}

/* ---------------------------------------------------------------- write sections (any thread) */

static Shared<int> gWriting;      /* write sections in progress */
static Shared<uint32_t> gWrites;  /* write sections ended (wraps) */
static Shared<uint32_t> gLoads;   /* file reads taken in (wraps) */

/* The hand-over of recorded half events: step clock -> window thread. */
#define RECORDED_SLOTS 64  /* a power of two: positions wrap by mask */
struct Recorded {
  uint32_t write;   /* gWrites once its section ended */
  StepFlips flips;
};
static Recorded gRecorded[RECORDED_SLOTS];
static std::atomic<uint32_t> gRecordedHead{0};  /* next entry to write (producer) */
static std::atomic<uint32_t> gRecordedTail{0};  /* next entry to take (window thread) */

void PatternWriteBegin(void) { ++gWriting; }

void PatternLoaded(void) { ++gLoads; }

void PatternWriteEnd(const StepFlips* recorded) {
  const uint32_t write = ++gWrites;
  if (recorded) {
    const uint32_t head = gRecordedHead.load(std::memory_order_relaxed);
    if (head - gRecordedTail.load(std::memory_order_acquire) < RECORDED_SLOTS) {
      gRecorded[head & (RECORDED_SLOTS - 1)] = Recorded{write, *recorded};
      gRecordedHead.store(head + 1, std::memory_order_release);
    }
  }
  --gWriting;
}

/* A copy of the pattern that no write section overlapped. Returns the sections ended before
** it; *loads the file reads among them. Spins while one runs: sections are short and never
** wait for this thread. */
static uint32_t TakeSteadyState(PatternState* state, uint32_t* loads) {
  for (;;) {
    const uint32_t writes = gWrites;
    if (gWriting == 0) {
      *loads = gLoads;
      TakePatternState(state);
      if (gWriting == 0 && gWrites == writes) return writes;
    }
    std::this_thread::yield();
  }
}

/* ---------------------------------------------------------------- the history (window thread) */

#define HISTORY_STATES (HISTORY_LEVELS + 1)
static PatternState gStates[HISTORY_STATES];  /* a ring, from gOldest */
static int gOldest;             /* ring index of the oldest state */
static int gCount;              /* states held; 0 before the first sync */
static int gAt;                 /* the state the pattern is in, counted from the oldest */
static uint32_t gLoadsSeen;     /* gLoads when the history started */
static int gDepth;              /* open HistoryBegin brackets */
static PatternState gCopy;      /* the copy a sync takes */

static PatternState& State(int i) { return gStates[(gOldest + i) % HISTORY_STATES]; }

void HistoryReset(void) {
  gOldest = gCount = gAt = 0;
  gLoadsSeen = 0;
  gDepth = 0;
  gWriting = 0;
  gWrites = 0;
  gLoads = 0;
  gRecordedHead = 0;
  gRecordedTail = 0;
}

/* A new state after the current one, a copy of it for the caller to change. A new step
** drops the redo steps; a full history drops its oldest state. */
static PatternState& NewState(void) {
  gCount = gAt + 1;
  if (gCount == HISTORY_STATES) {
    gOldest = (gOldest + 1) % HISTORY_STATES;
    gCount--;
  }
  PatternState& state = State(gCount);
  state = State(gCount - 1);
  gAt = gCount++;
  return state;
}

bool HistorySync(void) {
  if (gDepth > 0) return false;
  uint32_t loads;
  const uint32_t writes = TakeSteadyState(&gCopy, &loads);
  const bool restart = gCount == 0 || loads != gLoadsSeen;
  bool changed = false;
  for (;;) {
    const uint32_t tail = gRecordedTail.load(std::memory_order_relaxed);
    if (tail == gRecordedHead.load(std::memory_order_acquire)) break;
    const Recorded& r = gRecorded[tail & (RECORDED_SLOTS - 1)];
    if (static_cast<int32_t>(r.write - writes) > 0) break;  /* landed after the copy */
    if (!restart && r.flips.step >= 0 && r.flips.step < STEP_SLOTS) {
      PatternState& state = NewState();
      for (int k = 0; k < 4; k++) state.words[k][r.flips.step] ^= r.flips.bits[k];
      changed = true;
    }
    gRecordedTail.store(tail + 1, std::memory_order_release);
  }
  if (restart) {
    gOldest = 0;
    gCount = 1;
    gAt = 0;
    gStates[0] = gCopy;
    gLoadsSeen = loads;
    return true;
  }
  if (std::memcmp(&State(gAt), &gCopy, sizeof gCopy) != 0) {
    NewState() = gCopy;
    changed = true;
  }
  return changed;
}

void HistoryBegin(void) {
  if (gDepth == 0) HistorySync();
  gDepth++;
}

bool HistoryCommit(void) {
  if (gDepth == 0 || --gDepth > 0) return false;
  return HistorySync();
}

/* Moves the pattern to the state `by` steps away from the current one. */
static bool MoveInHistory(int by) {
  if (gDepth > 0) return false;
  HistorySync();
  const int to = gAt + by;
  if (to < 0 || to >= gCount) return false;
  RestorePatternState(State(gAt), State(to));
  gAt = to;
  DropClickBackup();  /* it was taken from a pattern that is no longer there */
  MarkChanged();
  return true;
}

bool HistoryUndo(void) { return MoveInHistory(-1); }
bool HistoryRedo(void) { return MoveInHistory(1); }
bool HistoryCanUndo(void) { return gAt > 0; }
bool HistoryCanRedo(void) { return gAt < gCount - 1; }
