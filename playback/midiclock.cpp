/*
** This file contains the MIDI clock: the Timing Clocks a run sends (24 a beat, Start or
** Continue before the first, Stop at the end), the counting of the clocks that reach the
** MIDI input, and the timing of a run that follows them or the JACK transport. clock.cpp
** asks it, at every event of the run's chain, what is due and when to wake next; times
** there are chain ms, counted from the arming of the run's first event, and chain us for
** what lies between two of them. The timer's clock in us (platform/sync.h) is turned into
** chain us through the ideal time of the event running (TimingEvent).
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
** Clocks received. The MIDI input thread counts them and keeps the arrival time of the last
** CLOCKIN_RING (TbxMidiInTimeUs: when each reached the port, to the microsecond, not when a
** delivery that may bunch them came), and the period averaged over the last beat. A pause
** longer than CLOCKIN_GAP_MS, a Start, a Continue and a Stop start the average afresh.
** Start, Continue, Stop and a tempo that moved by 0.75 BPM or more go to the window
** (sync.cpp) as notices.
**
** Following a clock. A run that follows counts its position in tenths of a clock from the
** clock it started at: step j at clock j x n, its half event halfway. An event falls due
** once the clock at or before its position has arrived, so the run never gets ahead of the
** clocks and holds its position while they pause; its notes are stamped with that clock's
** arrival (plus the fraction of a period after it), so every step sounds one constant
** latency after its clock and lasts exactly its clocks, also across a tempo change. Until
** the clock comes the step clock looks again every millisecond (a master may speed up at
** any clock), and every CLOCKIN_HOLD_MS once the clock has paused. A run that follows and
** sends passes each clock on, stamped with its arrival, never before its step. A run whose
** item is unchecked while it follows goes on by itself, at the tempo last measured; checked
** again (or checked during a run that did not follow), the run's next step waits for the
** next clock, and it follows from there.
**
** Following the JACK transport (another program its timebase master, or none): the run
** waits until the transport rolls and puts its first step on the transport's start (one
** that joins a transport rolling for a while: on its next step of the grid from the start).
** With the master's tempo, step j then lies j steps' beats after that, as the transport has
** rolled them, so the run keeps to the master's beats without drifting; without a tempo the
** run goes on by itself after its first step.
**
** While a run's clock or transport stays away for WAIT_SHOW_MS (not yet come, or paused),
** the run counts as waiting, which the window shows (SyncWait).
*/
#include <atomic>
#include <climits>
#include <cmath>

#include "pattern/pattern.h"
#include "playback/playback.h"
#include "resources/ids.h"

#define CLOCKIN_WINDOW 24     /* intervals averaged for the period: one beat */
#define CLOCKIN_RING 64       /* arrival times kept, by count; a power of two */
#define CLOCKIN_MIN_TEMPO 12  /* intervals needed before a tempo is shown */
#define CLOCKIN_GAP_MS 500    /* longer without a clock: the stream has paused */
#define CLOCKIN_HOLD_MS 5     /* how often a paused run looks for the clock again */
#define TENTHS_PER_BEAT 240   /* positions: tenths of a clock, 24 clocks a beat */
#define WAIT_SHOW_MS 150      /* longer without its clock or transport: the run waits */
#define JOIN_MS 100           /* a transport started this long ago: the first step on its start */
#define TRANSPORT_LOOK_MS 10  /* a run following the transport looks at its tempo this often */

/* ---------------------------------------------------------------- clocks received (MIDI thread) */

/* The averaging window; a flag keeps two input threads (the ALSA and the JACK port) from
** updating it at once. */
static std::atomic_flag gClockInBusy = ATOMIC_FLAG_INIT;
static int64_t gClockInTimes[CLOCKIN_WINDOW + 1];  /* us, oldest first from gClockInFirst */
static int gClockInFirst, gClockInKept;            /* ring start and entries (0..25) */
static int gClockInShown;                          /* BPM last posted, 0 = none */

static std::atomic<int64_t> gClockInAt[CLOCKIN_RING];  /* arrival of clock n at n % RING, timer us */
static std::atomic<uint32_t> gClockInCount{0};    /* clocks counted; raised after the arrival is in */
static std::atomic<int32_t> gClockInPeriodUs{0};  /* between clocks, over the last beat; 0 unknown */
static std::atomic<uint32_t> gClockInStartAt{0};  /* count at the last Start or Continue: the
                                                  ** clock it starts at */

static void ClockInLock(void) {
  while (gClockInBusy.test_and_set(std::memory_order_acquire)) {
  }
}

static void ClockInUnlock(void) { gClockInBusy.clear(std::memory_order_release); }

void ClockInReset(void) {
  ClockInLock();
  gClockInFirst = gClockInKept = 0;
  gClockInShown = 0;
  for (auto& at : gClockInAt) at = 0;
  gClockInCount = 0;
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

/* One Timing Clock at `now` (timer us): its arrival, the count, the period, and the tempo
** when it moved. */
static void ClockInTick(int64_t now) {
  ClockInLock();
  const uint32_t count = gClockInCount.load();
  if (gClockInKept > 0 && now - gClockInAt[(count - 1) % CLOCKIN_RING].load() > CLOCKIN_GAP_MS * 1000)
    gClockInKept = 0;
  if (gClockInKept == CLOCKIN_WINDOW + 1) {
    gClockInFirst = (gClockInFirst + 1) % (CLOCKIN_WINDOW + 1);
    --gClockInKept;
  }
  gClockInTimes[(gClockInFirst + gClockInKept) % (CLOCKIN_WINDOW + 1)] = now;
  const int intervals = gClockInKept++;
  int32_t period = 0;
  if (intervals > 0) {
    period = (int32_t)((now - gClockInTimes[gClockInFirst]) / intervals);
    gClockInPeriodUs = period;
  }
  gClockInAt[count % CLOCKIN_RING].store(now);
  gClockInCount.store(count + 1);
  int post = 0;
  if (intervals >= CLOCKIN_MIN_TEMPO && period > 0) {
    /* BPM = 60 s / (24 clocks x period); shown again when it moved by 0.75 at least. */
    const double bpm = 2500000.0 / period;
    if (bpm - gClockInShown >= 0.75 || gClockInShown - bpm >= 0.75) post = gClockInShown = (int)(bpm + 0.5);
  }
  ClockInUnlock();
  if (post) PostNotice(SYNC_NOTICE_TEMPO, post);
}

void ClockInMessage(int status, int64_t atUs) {
  if (!SyncGet(SYNC_FOLLOW_CLOCK)) return;
  switch (status) {
    case MIDI_CLOCK: ClockInTick(atUs); break;
    case MIDI_START:
    case MIDI_CONTINUE:
      ClockInPause();
      gClockInStartAt = gClockInCount.load();
      PostNotice(status == MIDI_START ? SYNC_NOTICE_START : SYNC_NOTICE_CONTINUE, 0);
      break;
    case MIDI_STOP:
      ClockInPause();
      PostNotice(SYNC_NOTICE_STOP, 0);
      break;
    default: break;
  }
}

uint32_t ClockInCount(void) { return gClockInCount.load(); }

uint32_t ClockInStartAt(void) { return gClockInStartAt.load(); }

/* ---------------------------------------------------------------- the run's timing (timer thread) */

enum { FOLLOW_NONE, FOLLOW_CLOCK, FOLLOW_TRANSPORT };

/* Written by TimingStart (window thread) before the run's first event, then by its events. */
static Shared<int64_t> gOriginUs(0);     /* timer us of chain time 0 (TimingEvent) */
static Shared<int> gOutOn(0);            /* the run sends the clock */
static Shared<int> gOutStart(0);         /* Start or Continue, sent with the first step; 0 sent */
static Shared<int> gOutBegun(0);         /* ... has been sent: the run ends with Stop */
static Shared<int64_t> gOutP(0), gOutS(0); /* tenths: this step's start and span */
static Shared<int64_t> gOutQ(0);         /* tenths: the next clock's position */
static Shared<int64_t> gOutRefUs(0);     /* chain us of the last clock, or of the step's start */
static Shared<int64_t> gOutRefP(0);      /* tenths: ... its position */
static Shared<int64_t> gOutSent(0);      /* following a clock: clocks passed on (index from the base) */

static Shared<int> gFollowOn(0);         /* FOLLOW_*: what the run follows */
static Shared<uint32_t> gFollowBase(0);  /* clock: count at the clock of the first step */
static Shared<double> gFollowBeat0(-1);  /* transport: beats it had rolled at the first step;
                                         ** < 0 not placed yet */
static Shared<int64_t> gFollowStep(0);   /* tenths from the first step: the next step */
static Shared<int64_t> gFollowTarget(0); /* tenths: the pending event; < 0 at once */
static Shared<int64_t> gFollowAtUs(0);   /* timer us of the pending event, once it is known */

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
  gFollowOn = SyncGet(SYNC_FOLLOW_CLOCK) ? FOLLOW_CLOCK : SyncFollowsTransport() ? FOLLOW_TRANSPORT : FOLLOW_NONE;
  gFollowStep = 0;
  gFollowTarget = -1;
  gFollowBeat0 = -1;
  if (gFollowOn == FOLLOW_CLOCK) gFollowBase = SyncTakeFollowBase();
}

void TimingEvent(int64_t now) { gOriginUs = TbxTimerDueUs() - now * 1000; }

int TimingFollows(void) { return gFollowOn != FOLLOW_NONE; }

/* The run goes on by itself from now on. */
static void FollowStop(void) {
  gFollowOn = FOLLOW_NONE;
  gOutP = gOutS = gOutQ = 0;   /* the clock sent starts its own count at the next step */
  SyncWait(0);
}

int FollowLetGo(void) {
  const int on = gFollowOn;
  if (on == FOLLOW_NONE || SyncGet(on == FOLLOW_CLOCK ? SYNC_FOLLOW_CLOCK : SYNC_JACK_TRANSPORT)) return 0;
  FollowStop();
  return 1;
}

int FollowTakeUp(void) {
  if (gFollowOn != FOLLOW_NONE || !SyncGet(SYNC_FOLLOW_CLOCK)) return 0;
  gFollowBase = ClockInCount();  /* the pending step is the next clock's */
  gFollowStep = 0;
  gFollowTarget = 0;
  gOutSent = 0;                  /* clocks passed on are counted from there too */
  gFollowOn = FOLLOW_CLOCK;
  return 1;
}

int ClockOutBegun(void) { return gOutBegun; }

int ClockOutOn(void) { return gOutOn; }

static int64_t CeilMs(int64_t us) { return us >= 0 ? (us + 999) / 1000 : -((-us) / 1000); }

/* The clocks received, as the run sees them: the index of the last from the base (-1 and
** below: none since), its arrival (timer us) and the period (us, 0 unknown). */
static void FollowRead(int64_t* lastIdx, int64_t* lastUs, int64_t* periodUs) {
  const uint32_t count = gClockInCount.load();
  *lastIdx = (int32_t)(count - gFollowBase) - 1;
  *lastUs = gClockInAt[(count - 1) % CLOCKIN_RING].load();
  *periodUs = gClockInPeriodUs.load();
}

/* Arrival (timer us) of clock `idx` from the base, at or before the last one: its own when
** it is still kept, else counted back from the last at the period. */
static int64_t ClockArrival(int64_t idx, int64_t lastIdx, int64_t lastUs, int64_t period) {
  const uint32_t n = gFollowBase + (uint32_t)idx;
  const int64_t at = gClockInAt[n % CLOCKIN_RING].load();
  /* Read before the count: a slot taken over since made the count move past it. */
  if (gClockInCount.load() - n < CLOCKIN_RING) return at;
  return lastUs - (lastIdx - idx) * period;
}

/* The run waits for its clock or transport (`what`) once it has stayed away WAIT_SHOW_MS
** since `since` (timer us) by `now` (chain ms), and no longer when it came since. */
static void FollowWaits(int64_t since, int64_t now, int what) {
  SyncWait((gOriginUs + now * 1000) - since > WAIT_SHOW_MS * 1000 ? what : SYNC_WAIT_NONE);
}

/* When a clock that has not arrived by `now` is looked for again: the next millisecond (a
** master may speed up at any time), or a little later while the clock pauses. */
static int64_t ClockLook(int64_t now, int64_t lastUs) {
  const bool paused = ClockInCount() == 0 || (gOriginUs + now * 1000) - lastUs > CLOCKIN_GAP_MS * 1000;
  return now + (paused ? CLOCKIN_HOLD_MS : 1);
}

/* Following a clock: the pending event at tenths `x` from the base, as FollowPendingDue. */
static int64_t ClockPendingDue(int64_t x, int64_t now, int* ready) {
  int64_t lastIdx, lastUs, period;
  FollowRead(&lastIdx, &lastUs, &period);
  const int64_t idx = x / 10, frac = x % 10;
  if (lastIdx < idx) {
    *ready = 0;
    FollowWaits(std::max<int64_t>(lastUs, gOriginUs), now, SYNC_WAIT_CLOCK);
    return ClockLook(now, lastUs);
  }
  gFollowAtUs = ClockArrival(idx, lastIdx, lastUs, period) + frac * period / 10;
  const int64_t due = CeilMs(gFollowAtUs - gOriginUs);
  /* On a clock that has come, the event runs now: its stamp places its notes. */
  return frac == 0 ? std::min(due, now) : due;
}

/* Following the transport: places the run's first step on the grid (the start, or the next
** step from it when the transport has rolled for a while); 0 when it does not roll yet. */
static int TransportPlace(int64_t now) {
  LONGLONG startUs, oneUs;
  if (!TbxTransportAt(0, &startUs)) return 0;
  const double bpm = TbxTransportBpm();
  if ((gOriginUs + now * 1000) - startUs <= JOIN_MS * 1000) {
    gFollowBeat0 = 0;
  } else if (bpm > 0 && TbxTransportAt(1, &oneUs)) {
    const double beatsNow = 1 + (double)((gOriginUs + now * 1000) - oneUs) * bpm / 60e6;
    const double span = (double)StepSpan() / TENTHS_PER_BEAT;
    gFollowBeat0 = std::ceil(beatsNow / span) * span;
  } else {
    FollowStop();   /* no tempo to find the grid by: the run goes on by itself now */
  }
  return 1;
}

/* Following the transport: the pending event at tenths `x`, as FollowPendingDue. */
static int64_t TransportPendingDue(int64_t x, int64_t now, int* ready) {
  LONGLONG at;
  /* Joined without a tempo: the event at once, and the run by itself. */
  if (gFollowBeat0 < 0 && TransportPlace(now) && gFollowOn == FOLLOW_NONE) return now;
  if (gFollowBeat0 >= 0 && TbxTransportAt(gFollowBeat0 + (double)x / TENTHS_PER_BEAT, &at)) {
    gFollowAtUs = at;
    /* The master's tempo may change before then: look again meanwhile. */
    return std::min(CeilMs(at - gOriginUs), now + TRANSPORT_LOOK_MS);
  }
  if (gFollowBeat0 >= 0 && TbxTransportAt(0, &at)) {
    FollowStop();   /* rolling, and its master's tempo has gone: the run goes on by itself */
    return now;
  }
  *ready = 0;
  FollowWaits(gOriginUs, now, SYNC_WAIT_TRANSPORT);
  return now + (now > CLOCKIN_GAP_MS ? CLOCKIN_HOLD_MS : 1);
}

int64_t FollowPendingDue(int64_t now, int* ready) {
  const int64_t x = gFollowTarget;
  *ready = 1;
  if (x < 0) {
    gFollowAtUs = gOriginUs + now * 1000;
    return now;
  }
  if (gFollowOn == FOLLOW_CLOCK) return ClockPendingDue(x, now, ready);
  return TransportPendingDue(x, now, ready);
}

LONG FollowOffsetUs(int64_t now) {
  if (!TimingFollows()) return 0;
  return (LONG)(gFollowAtUs - (gOriginUs + now * 1000));
}

void FollowScheduled(int wasHalf) {
  if (wasHalf) {
    gFollowTarget = gFollowStep.load();
    return;
  }
  SyncWait(0);
  const int64_t start = gFollowStep, span = StepSpan();
  gFollowStep = start + span;
  gFollowTarget = start + span / 2;
  /* Without the master's tempo the transport gives the first step only. */
  if (gFollowOn == FOLLOW_TRANSPORT && TbxTransportBpm() <= 0) FollowStop();
}

int64_t FollowStepEndUs(void) {
  LONGLONG at;
  if (gFollowOn != FOLLOW_TRANSPORT || gFollowBeat0 < 0 ||
      !TbxTransportAt(gFollowBeat0 + (double)gFollowStep / TENTHS_PER_BEAT, &at))
    return -1;
  return at - gOriginUs;
}

/* ---------------------------------------------------------------- clocks sent (timer thread) */

/* Offsets are us from the ideal time of the event running, chain ms `now`. */
static void SendClock(int64_t offsetUs) {
  TbxMidiOutShortMsgAt(ghMidiOut, MIDI_CLOCK, (LONG)offsetUs);
}

/* Start or Continue, once, with the run's first step. */
static void BeginClock(int64_t offsetUs) {
  const int start = gOutStart.exchange(0);
  if (start) TbxMidiOutShortMsgAt(ghMidiOut, (DWORD)start, (LONG)offsetUs);
  gOutBegun = 1;
}

/* Following a clock: passes on each clock received up to index `limit` (exclusive) from the
** base, each stamped with its arrival. */
static void ForwardClocks(int64_t now, int64_t limit) {
  int64_t lastIdx, lastUs, period;
  FollowRead(&lastIdx, &lastUs, &period);
  for (int64_t i = gOutSent; i <= lastIdx && i < limit; ++i) {
    SendClock(ClockArrival(i, lastIdx, lastUs, period) - (gOriginUs + now * 1000));
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

void ClockOutStep(int64_t now, int64_t stepUs) {
  if (!gOutOn) return;
  if (gFollowOn == FOLLOW_CLOCK) {
    if (!gOutBegun) BeginClock(stepUs - now * 1000);
    const int64_t start = gFollowStep;   /* this step's position: the next step is not set yet */
    ForwardClocks(now, start / 10 + 1);
    return;
  }
  if (gOutBegun) SendDueClocks(now, stepUs);   /* the last one(s) of the step before */
  else BeginClock(stepUs - now * 1000);
  gOutP = gOutP + gOutS;
  gOutS = StepSpan();
  gOutRefUs = stepUs;
  gOutRefP = gOutP.load();
  if (gOutQ == gOutP) {   /* the step starts on a clock: it goes out with the step */
    SendClock(stepUs - now * 1000);
    gOutQ += 10;
  }
}

void ClockOutDue(int64_t now, int64_t endUs) {
  if (!gOutOn || !gOutBegun) return;
  if (gFollowOn == FOLLOW_CLOCK) ForwardClocks(now, (gFollowStep + 9) / 10);
  else SendDueClocks(now, endUs);
}

int64_t ClockOutNext(int64_t now, int64_t endUs) {
  if (!gOutOn || !gOutBegun) return INT64_MAX;
  if (gFollowOn == FOLLOW_CLOCK) {
    int64_t lastIdx, lastUs, period;
    FollowRead(&lastIdx, &lastUs, &period);
    return ClockLook(now, lastUs);
  }
  if (gOutQ >= gOutP + gOutS) return INT64_MAX;
  return CeilMs(NextClockUs(endUs));
}
