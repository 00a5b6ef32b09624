/*
** This file contains the MIDI clock: the Timing Clocks a run sends (24 a beat, Start or
** Continue before the first, Stop at the end), the counting of the clocks that reach the
** MIDI input, and the timing of a run that follows them. clock.cpp asks it, at every event
** of the run's chain, what is due and when to wake next; times there are chain ms, counted
** from the arming of the run's first event.
**
** Clocks sent. Positions are counted in tenths of a clock from the run's first step: a step
** of the rel.Beat now spans 240 x num / den of them (960 for "/ 4" .. 20 for "*12", 48 for
** "* 5"). Each clock lies on the straight line from the last clock (or the step's start) to
** the step's end as the step length now makes it. So the clocks are phase-locked to the
** steps: the first goes out with the run's first step, every step that begins a beat has a
** clock on its own time, the clocks between are spread evenly over what the steps really
** last (gMsecPerBeat, up to the step length's whole milliseconds), and a tempo change moves
** the very next clock. The step clock wakes on the millisecond at or after a clock's time
** and sends it stamped with its exact time, never ahead of it, so the synth's queue and JACK
** place it on its frame, the ALSA sequencer sends it within the timer's wake-up, and nothing
** sent later (the Stop) can overtake it.
**
** Clocks received. The MIDI input thread counts them and keeps their arrival times
** (timeGetTime ms: the input's start plus the ms MIM_DATA says they came after it, which
** the platform takes from when they reached the port, not from a delivery that may bunch
** them). It publishes the count with the last arrival as one 64-bit word and the period
** averaged over the last beat as another. A pause longer than CLOCKIN_GAP_MS, a Start, a
** Continue and a Stop start the average afresh. Start, Continue, Stop and a tempo that
** moved by 0.75 BPM or more go to the window (sync.cpp) as notices.
**
** Following. A run that follows counts its position in tenths of a clock from the clock it
** started at: step j at clock j x n, its half event halfway. An event falls due once the
** clock at or before its position has arrived (plus the fraction of a period after it), so
** the run never gets ahead of the clocks and holds its position while they pause. Until
** then the step clock looks again every millisecond (a master may speed up at any clock),
** and every CLOCKIN_HOLD_MS once the clock has paused. A run that follows and sends passes
** each clock on as it arrives, never before its step. A run whose item is unchecked while
** it follows goes on by itself, at the tempo last measured.
*/
#include <atomic>
#include <climits>

#include "pattern/pattern.h"
#include "playback/playback.h"
#include "resources/ids.h"

#define CLOCKIN_WINDOW 24     /* intervals averaged for the period: one beat */
#define CLOCKIN_MIN_TEMPO 12  /* intervals needed before a tempo is shown */
#define CLOCKIN_GAP_MS 500    /* longer without a clock: the stream has paused */
#define CLOCKIN_HOLD_MS 5     /* how often a paused run looks for the clock again */
#define TENTHS_PER_BEAT 240   /* positions: tenths of a clock, 24 clocks a beat */

/* ---------------------------------------------------------------- clocks received (MIDI thread) */

/* The ring of arrival times; a flag keeps two input threads (the ALSA and the JACK port)
** from updating it at once. */
static std::atomic_flag gClockInBusy = ATOMIC_FLAG_INIT;
static DWORD gClockInTimes[CLOCKIN_WINDOW + 1];   /* ms, oldest first from gClockInFirst */
static int gClockInFirst, gClockInKept;            /* ring start and entries (0..25) */
static int gClockInShown;                          /* BPM last posted, 0 = none */

static std::atomic<uint64_t> gClockInLast{0};     /* clocks counted (low 32 bits) and the last
                                                  ** one's arrival, timeGetTime ms (high 32) */
static std::atomic<int32_t> gClockInPeriodUs{0};  /* between clocks, over the last beat; 0 unknown */
static std::atomic<uint32_t> gClockInStartAt{0};  /* count at the last Start or Continue: the
                                                  ** clock it starts at */
static std::atomic<DWORD> gClockInOpenMs{0};      /* timeGetTime at the input's midiInStart:
                                                  ** the time base of its MIM_DATA */

static void ClockInLock(void) {
  while (gClockInBusy.test_and_set(std::memory_order_acquire)) {
  }
}

static void ClockInUnlock(void) { gClockInBusy.clear(std::memory_order_release); }

void ClockInReset(void) {
  ClockInLock();
  gClockInFirst = gClockInKept = 0;
  gClockInShown = 0;
  gClockInLast = 0;
  gClockInPeriodUs = 0;
  gClockInStartAt = 0;
  ClockInUnlock();
}

void ClockInShowAgain(void) {
  ClockInLock();
  gClockInShown = 0;
  ClockInUnlock();
}

/* The stream stops or starts again: the period is measured afresh from the next clock (the
** pause between is no clock's). */
static void ClockInPause(void) {
  ClockInLock();
  gClockInKept = 0;
  ClockInUnlock();
}

static void PostNotice(int notice, LPARAM lParam) {
  PostMessageA(ghRunWindow, WM_COMMAND, IDM_SYNC_NOTICE + notice, lParam);
}

/* One Timing Clock at `now`: the count, the ring, the period, and the tempo when it moved. */
static void ClockInTick(DWORD now) {
  ClockInLock();
  const uint64_t last = gClockInLast.load();
  const uint32_t count = (uint32_t)last + 1;
  if (gClockInKept > 0 && now - (DWORD)(last >> 32) > CLOCKIN_GAP_MS) gClockInKept = 0;
  if (gClockInKept == CLOCKIN_WINDOW + 1) {
    gClockInFirst = (gClockInFirst + 1) % (CLOCKIN_WINDOW + 1);
    --gClockInKept;
  }
  gClockInTimes[(gClockInFirst + gClockInKept) % (CLOCKIN_WINDOW + 1)] = now;
  const int intervals = gClockInKept++;
  int32_t period = 0;
  if (intervals > 0) {
    period = (int32_t)((int64_t)(now - gClockInTimes[gClockInFirst]) * 1000 / intervals);
    gClockInPeriodUs = period;
  }
  gClockInLast = (uint64_t)count | (uint64_t)now << 32;
  int post = 0;
  if (intervals >= CLOCKIN_MIN_TEMPO && period > 0) {
    /* BPM = 60 s / (24 clocks x period); shown again when it moved by 0.75 at least. */
    const double bpm = 2500000.0 / period;
    if (bpm - gClockInShown >= 0.75 || gClockInShown - bpm >= 0.75) post = gClockInShown = (int)(bpm + 0.5);
  }
  ClockInUnlock();
  if (post) PostNotice(SYNC_NOTICE_TEMPO, post);
}

void ClockInStarted(void) { gClockInOpenMs = timeGetTime(); }

void ClockInMessage(int status, DWORD sinceStart) {
  if (!SyncGet(SYNC_FOLLOW_CLOCK)) return;
  switch (status) {
    case MIDI_CLOCK: ClockInTick(gClockInOpenMs + sinceStart); break;
    case MIDI_START:
    case MIDI_CONTINUE:
      ClockInPause();
      gClockInStartAt = (uint32_t)gClockInLast.load();
      PostNotice(status == MIDI_START ? SYNC_NOTICE_START : SYNC_NOTICE_CONTINUE, 0);
      break;
    case MIDI_STOP:
      ClockInPause();
      PostNotice(SYNC_NOTICE_STOP, 0);
      break;
    default: break;
  }
}

uint32_t ClockInCount(void) { return (uint32_t)gClockInLast.load(); }

uint32_t ClockInStartAt(void) { return gClockInStartAt.load(); }

/* ---------------------------------------------------------------- the run's timing (timer thread) */

/* Written by TimingStart (window thread) before the run's first event, then by its events. */
static Shared<int> gOutOn(0);            /* the run sends the clock */
static Shared<int> gOutStart(0);         /* Start or Continue, sent with the first step; 0 sent */
static Shared<int> gOutBegun(0);         /* ... has been sent: the run ends with Stop */
static Shared<int64_t> gOutP(0), gOutS(0); /* tenths: this step's start and span */
static Shared<int64_t> gOutQ(0);         /* tenths: the next clock's position */
static Shared<int64_t> gOutRefUs(0);     /* chain us of the last clock, or of the step's start */
static Shared<int64_t> gOutRefP(0);      /* tenths: ... its position */
static Shared<int64_t> gOutSent(0);      /* following: clocks passed on (index from the base) */

static Shared<int> gFollowOn(0);         /* the run follows the clock */
static Shared<uint32_t> gFollowBase(0);  /* count at the clock of the first step */
static Shared<int64_t> gFollowStep(0);   /* tenths from the base: the next step */
static Shared<int64_t> gFollowTarget(0); /* tenths: the pending event; < 0 at once */
static Shared<DWORD> gFollowAnchor(0);   /* timeGetTime ms of chain time 0 */

static int64_t StepSpan(void) {
  int num, den;
  RelBeatRatio(&num, &den);
  return TENTHS_PER_BEAT * num / den;
}

void TimingStart(int mode) {
  gOutOn = SyncGet(SYNC_SEND_CLOCK);
  gOutStart = mode == 0 ? MIDI_START : MIDI_CONTINUE;
  gOutBegun = 0;
  gOutP = gOutS = gOutQ = gOutSent = 0;
  gFollowOn = SyncGet(SYNC_FOLLOW_CLOCK);
  if (gFollowOn) {
    gFollowBase = SyncTakeFollowBase();
    gFollowStep = 0;
    gFollowTarget = -1;
    gFollowAnchor = timeGetTime();
  }
}

int TimingFollows(void) { return gFollowOn; }

int FollowLetGo(void) {
  if (!gFollowOn || SyncGet(SYNC_FOLLOW_CLOCK)) return 0;
  gFollowOn = 0;
  gOutP = gOutS = gOutQ = 0;   /* the clock sent starts its own count at the next step */
  return 1;
}

int ClockOutBegun(void) { return gOutBegun; }

int ClockOutOn(void) { return gOutOn; }

/* The clocks received, as the run sees them: the index of the last from the base (-1 and
** below: none since), its arrival in chain ms, and the period (us, 0 unknown). */
static void FollowRead(int64_t* lastIdx, int64_t* lastMs, int64_t* periodUs) {
  const uint64_t last = gClockInLast.load();
  *lastIdx = (int32_t)((uint32_t)last - gFollowBase) - 1;
  *lastMs = (int32_t)((DWORD)(last >> 32) - gFollowAnchor);
  *periodUs = gClockInPeriodUs.load();
}

static int64_t CeilMs(int64_t us) { return us >= 0 ? (us + 999) / 1000 : -((-us) / 1000); }

/* When to look again for a clock that has not arrived by `now`: the next millisecond (a
** master may speed up at any time), or a little later while the clock pauses. */
static int64_t FollowLook(int64_t now, int64_t lastMs) {
  return ClockInCount() == 0 || now - lastMs > CLOCKIN_GAP_MS ? now + CLOCKIN_HOLD_MS : now + 1;
}

int64_t FollowPendingDue(int64_t now, int* ready) {
  const int64_t x = gFollowTarget;
  *ready = 1;
  if (x < 0) return now;
  int64_t lastIdx, lastMs, period;
  FollowRead(&lastIdx, &lastMs, &period);
  const int64_t idx = x / 10, frac = x % 10;
  if (lastIdx < idx) {
    *ready = 0;
    return FollowLook(now, lastMs);
  }
  return CeilMs(lastMs * 1000 - (lastIdx - idx) * period + frac * period / 10);
}

void FollowScheduled(int wasHalf) {
  if (wasHalf) {
    gFollowTarget = gFollowStep.load();
    return;
  }
  const int64_t start = gFollowStep, span = StepSpan();
  gFollowStep = start + span;
  gFollowTarget = start + span / 2;
}

/* ---------------------------------------------------------------- clocks sent (timer thread) */

static void SendClock(int64_t offsetUs) {
  TbxMidiOutShortMsgAt(ghMidiOut, MIDI_CLOCK, (LONG)offsetUs);
}

/* Start or Continue, once, with the run's first step. */
static void BeginClock(void) {
  const int start = gOutStart.exchange(0);
  if (start) TbxMidiOutShortMsgAt(ghMidiOut, (DWORD)start, 0);
  gOutBegun = 1;
}

/* Following: passes on each clock received up to index `limit` (exclusive) from the base. */
static void ForwardClocks(int64_t limit) {
  int64_t lastIdx, lastMs, period;
  FollowRead(&lastIdx, &lastMs, &period);
  for (int64_t i = gOutSent; i <= lastIdx && i < limit; ++i) {
    SendClock(0);
    gOutSent = i + 1;
  }
}

/* us of the next clock on the line from the reference to the step's end `endUs`. */
static int64_t NextClockUs(int64_t endUs) {
  const int64_t ref = gOutRefUs, refP = gOutRefP, to = gOutP + gOutS;
  if (endUs < ref) endUs = ref;
  return ref + (gOutQ - refP) * (endUs - ref) / (to - refP);
}

/* Sends every clock of this step whose time is at or before `now`. */
static void SendDueClocks(int64_t now, int64_t endUs) {
  while (gOutQ < gOutP + gOutS) {
    const int64_t t = NextClockUs(endUs);
    if (t > now * 1000) break;
    SendClock(t - now * 1000);
    gOutRefUs = t;
    gOutRefP = gOutQ.load();
    gOutQ += 10;
  }
}

void ClockOutStep(int64_t now) {
  if (!gOutOn) return;
  if (gFollowOn) {
    if (!gOutBegun) BeginClock();
    const int64_t start = gFollowStep;   /* this step's position: the next step is not set yet */
    ForwardClocks(start / 10 + 1);
    return;
  }
  if (gOutBegun) SendDueClocks(now, now * 1000);   /* the last one(s) of the step before */
  else BeginClock();
  gOutP = gOutP + gOutS;
  gOutS = StepSpan();
  gOutRefUs = now * 1000;
  gOutRefP = gOutP.load();
  if (gOutQ == gOutP) {   /* the step starts on a clock: it goes out with the step */
    SendClock(0);
    gOutQ += 10;
  }
}

void ClockOutDue(int64_t now, int64_t endMs) {
  if (!gOutOn || !gOutBegun) return;
  if (gFollowOn) ForwardClocks((gFollowStep + 9) / 10);
  else SendDueClocks(now, endMs * 1000);
}

int64_t ClockOutNext(int64_t now, int64_t endMs) {
  if (!gOutOn || !gOutBegun) return INT64_MAX;
  if (gFollowOn) {
    int64_t lastIdx, lastMs, period;
    FollowRead(&lastIdx, &lastMs, &period);
    return FollowLook(now, lastMs);
  }
  if (gOutQ >= gOutP + gOutS) return INT64_MAX;
  return CeilMs(NextClockUs(endMs * 1000));
}
