/*
** This file contains the undo history: copies of the pattern as the user sees it (the six
** step arrays, the dynamics of their notes and the play range), one after every user
** action that changed it and one
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
** Memory. The history keeps the state the pattern is in whole, and every step as the words
** in which its two states differ (a step is its own inverse: the same XOR undoes and redoes
** it). A step is stored per step array: nothing for an array it left alone, a map of the
** changed words and their bits, or, where that is no smaller, the bits of every word. A click
** costs 28 bytes; a step that changes every word of the six note arrays (a rotation of a
** full pattern) 3508 bytes, less than a record; only one that changes dynamics as well as
** nearly every note word costs more, at most 8184. The steps share a pool of HISTORY_LEVELS records
** (354 KB), allocated once: it holds HISTORY_LEVELS steps whenever they cost a record on
** average, and drops the oldest steps when it cannot take a new one.
*/
#include <algorithm>
#include <atomic>
#include <thread>
#include <type_traits>

#include "pattern/pattern.h"

/* States are compared byte for byte (the tests' memcmp): no padding may hide a difference or
** make one up. */
static_assert(std::has_unique_object_representations_v<PatternState>, "PatternState has no padding");

/* ---------------------------------------------------------------- a state of the pattern */

uint32_t* const* PatternArrays(void) {
  static uint32_t* const arrays[PATTERN_WORDS] = {
      gTbro.PercL,          gTbro.PercH,           gTbro.VoiceL,          gTbro.VoiceH,
      gTbro.VoiceXL,        gTbro.VoiceXH,         gDynamics.AccentPercL, gDynamics.AccentPercH,
      gDynamics.AccentVoiceL, gDynamics.AccentVoiceH, gDynamics.GhostPercL, gDynamics.GhostPercH,
      gDynamics.GhostVoiceL, gDynamics.GhostVoiceH};
  return arrays;
}

void TakePatternState(PatternState* state) {
  for (int a = 0; a < PATTERN_WORDS; a++)
    for (int s = 0; s < STEP_SLOTS; s++) state->words[a][s] = StepGet(PatternArrays()[a], s);
  state->loopStart = HeaderGet(gTbro.LoopStart);
  state->loopEnd = HeaderGet(gTbro.LoopEnd);
}

void RestorePatternState(const PatternState& from, const PatternState& to) {
  for (int a = 0; a < PATTERN_WORDS; a++)
    for (int s = 0; s < STEP_SLOTS; s++) {
      const uint32_t differ = from.words[a][s] ^ to.words[a][s];
      if (differ) StepXor(PatternArrays()[a], s, differ);
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

/* ---------------------------------------------------------------- steps as differences */

/* A step in the pool, in 32-bit words: a header (bit k: array k changed; bit
** PATTERN_WORDS + k: ... and is stored whole; kMarkersChanged: the play range changed), the
** play range's XOR when it changed, then for each changed array either its STEP_SLOTS
** XORs, or a map of kMapWords words (bit s: slot s changed) and the XORs of those slots. */
namespace {
constexpr int kMapWords = (STEP_SLOTS + 31) / 32;
constexpr uint32_t kMarkersChanged = 1u << 30;
constexpr uint32_t kMaxStepWords = 2 + PATTERN_WORDS * STEP_SLOTS;
constexpr uint32_t kPoolWords = uint32_t(HISTORY_LEVELS) * TBRO_SIZE / 4;
static_assert(2 * PATTERN_WORDS <= 30, "the header has a bit for every array, twice");
static_assert(1 + 1 + PATTERN_DYNAMICS * STEP_SLOTS <= TBRO_SIZE / 4,
              "a step that changes every note word costs at most one record");

uint32_t Markers(const PatternState& s) {
  return uint32_t(uint16_t(s.loopStart)) | uint32_t(uint16_t(s.loopEnd)) << 16;
}

/* The step from `a` to `b` into `out` (kMaxStepWords); its length, 0 when they are alike. */
uint32_t Encode(const PatternState& a, const PatternState& b, uint32_t* out) {
  uint32_t n = 1, header = 0;
  if (const uint32_t markers = Markers(a) ^ Markers(b)) {
    header |= kMarkersChanged;
    out[n++] = markers;
  }
  for (int k = 0; k < PATTERN_WORDS; k++) {
    int changed = 0;
    for (int s = 0; s < STEP_SLOTS; s++) changed += a.words[k][s] != b.words[k][s];
    if (changed == 0) continue;
    header |= 1u << k;
    if (kMapWords + changed >= STEP_SLOTS) {
      header |= 1u << (PATTERN_WORDS + k);
      for (int s = 0; s < STEP_SLOTS; s++) out[n++] = a.words[k][s] ^ b.words[k][s];
      continue;
    }
    uint32_t* map = out + n;
    std::fill(map, map + kMapWords, 0u);
    n += kMapWords;
    for (int s = 0; s < STEP_SLOTS; s++)
      if (const uint32_t bits = a.words[k][s] ^ b.words[k][s]) {
        map[s / 32] |= 1u << (s % 32);
        out[n++] = bits;
      }
  }
  if (header == 0) return 0;
  out[0] = header;
  return n;
}

}  // namespace

/* ---------------------------------------------------------------- the history (window thread) */

struct Step {
  uint32_t begin;   /* its first word in the pool, counted without wrapping */
  uint32_t words;
};
static uint32_t gPool[kPoolWords];   /* a ring of steps, oldest at gPoolTail */
static uint32_t gPoolHead, gPoolTail;
static Step gSteps[HISTORY_LEVELS];  /* a ring from gFirst: step i leads from state i to i + 1 */
static int gFirst;
static int gCount;              /* states held; 0 before the first sync */
static int gAt;                 /* the state the pattern is in, counted from the oldest */
static PatternState gNow;       /* ... that state */
static uint32_t gLoadsSeen;     /* gLoads when the history started */
static int gDepth;              /* open HistoryBegin brackets */
static PatternState gCopy;      /* the copy a sync takes */
static PatternState gNext;      /* a state being made from gNow */
static uint32_t gEncoded[kMaxStepWords];

static Step& StepAt(int i) { return gSteps[(gFirst + i) % HISTORY_LEVELS]; }
static uint32_t& Pool(uint32_t at) { return gPool[at % kPoolWords]; }

/* Applies step `i` to `state`, either way. */
static void ApplyStep(int i, PatternState* state) {
  uint32_t at = StepAt(i).begin;
  const uint32_t header = Pool(at++);
  if (header & kMarkersChanged) {
    const uint32_t markers = Pool(at++);
    state->loopStart = int16_t(uint16_t(state->loopStart) ^ uint16_t(markers));
    state->loopEnd = int16_t(uint16_t(state->loopEnd) ^ uint16_t(markers >> 16));
  }
  for (int k = 0; k < PATTERN_WORDS; k++) {
    if (!(header & (1u << k))) continue;
    if (header & (1u << (PATTERN_WORDS + k))) {
      for (int s = 0; s < STEP_SLOTS; s++) state->words[k][s] ^= Pool(at++);
      continue;
    }
    uint32_t map[kMapWords];
    for (uint32_t& w : map) w = Pool(at++);
    for (int s = 0; s < STEP_SLOTS; s++)
      if (map[s / 32] & (1u << (s % 32))) state->words[k][s] ^= Pool(at++);
  }
}

void HistoryReset(void) {
  gFirst = gCount = gAt = 0;
  gPoolHead = gPoolTail = 0;
  gLoadsSeen = 0;
  gDepth = 0;
  gWriting = 0;
  gWrites = 0;
  gLoads = 0;
  gRecordedHead = 0;
  gRecordedTail = 0;
}

size_t HistoryBytes(void) { return size_t(gPoolHead - gPoolTail) * 4; }

/* `next` as a new state after the current one; false when it is the current one. A new step
** drops the redo steps; the oldest steps go when the levels or the pool are full. */
static bool PushState(const PatternState& next) {
  const uint32_t words = Encode(gNow, next, gEncoded);
  if (words == 0) return false;
  gCount = gAt + 1;
  gPoolHead = gAt > 0 ? StepAt(gAt - 1).begin + StepAt(gAt - 1).words : gPoolTail;
  while (gCount - 1 >= HISTORY_LEVELS || gPoolHead - gPoolTail + words > kPoolWords) {
    gPoolTail = StepAt(0).begin + StepAt(0).words;
    gFirst = (gFirst + 1) % HISTORY_LEVELS;
    gCount--;
    gAt--;
  }
  StepAt(gCount - 1) = Step{gPoolHead, words};
  for (uint32_t i = 0; i < words; i++) Pool(gPoolHead++) = gEncoded[i];
  gAt = gCount++;
  gNow = next;
  return true;
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
      gNext = gNow;
      for (int k = 0; k < PATTERN_WORDS; k++) gNext.words[k][r.flips.step] ^= r.flips.bits[k];
      changed |= PushState(gNext);
    }
    gRecordedTail.store(tail + 1, std::memory_order_release);
  }
  if (restart) {
    gFirst = 0;
    gCount = 1;
    gAt = 0;
    gPoolHead = gPoolTail;
    gNow = gCopy;
    gLoadsSeen = loads;
    return true;
  }
  return PushState(gCopy) || changed;
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
  gNext = gNow;
  ApplyStep(by < 0 ? to : gAt, &gNext);
  RestorePatternState(gNow, gNext);
  gNow = gNext;
  gAt = to;
  DropClickBackup();  /* it was taken from a pattern that is no longer there */
  MarkChanged();
  return true;
}

bool HistoryUndo(void) { return MoveInHistory(-1); }
bool HistoryRedo(void) { return MoveInHistory(1); }
bool HistoryCanUndo(void) { return gAt > 0; }
bool HistoryCanRedo(void) { return gAt < gCount - 1; }
