/*
** This file contains the step clock: the packing of MIDI short messages, the start of a run (TambroFirstFile), its stop (TambroEndSequence) and the
** multimedia-timer callback TambroTimerFunc with its two events per step.
**
** A step is two one-shot timer events. The step event ends the previous step's percussion,
** moves the index, and sends the step's notes; the half event, gHalfBeat ms later, lands
** the MIDI input collected meanwhile in the pattern (midiin.cpp). Each event arms the next
** one before it returns, so the clock is a chain of one-shot events.
**
** The chain keeps its own time, chain ms from the arming of the run's first event: every
** event is due a whole number of ms after the one that armed it, which the timer keeps to,
** so the chain always knows where it is. Two things add events between the half and step
** events, never moving them: a run that sends the MIDI clock wakes for each clock, and a
** run that follows a clock wakes to look for it, its half and step events falling due by
** the clocks received instead of by the step length (midiclock.cpp says when). A run
** without either arms exactly the half and step events, with the same delays.
**
** Stopping is race-free by three means. Every run has a generation number, passed to
** timeSetEvent as the user word: an event whose generation is not the current one does
** nothing. The callback records the generation it runs for (gCallbackGen) before it looks
** at the current one, and the stop bumps the generation before it looks at gCallbackGen
** (both sequentially consistent), so either the callback sees the stop or the stop sees the
** callback and waits for it to end. Only then is the pending event killed and are the
** devices closed, so no callback sends into a closed device and none re-arms after the
** stop returns. A stop made from inside the callback (at the loop end) does not wait for
** itself.
**
** The wait is bounded. A callback held up for long (a playlist entry on a dead network
** mount) must not freeze the window: after STOP_WAIT_MS of waiting the stop abandons the
** run. Abandoned means: the window goes on as after any stop (no run active), but the run's
** devices stay open and its callback closes them itself when it returns, so nothing it may
** still touch is closed under it; it arms nothing (its generation is stale); and whatever
** it took so long to fetch is dropped, since it must claim the run (CallbackClaim) before
** it changes shared state with the result, and an abandoned run can no longer be claimed.
** While a callback holds a claim the stop does not abandon it (the claim covers a few
** stores and boxes the window answers meanwhile). Later stops never wait for an abandoned
** callback, nor kill timer events while it runs (the timer would wait for it).
*/
#include <algorithm>
#include <atomic>
#include <chrono>

#include "base/seam.h"
#include "files/files.h"
#include "pattern/pattern.h"
#include "playback/playback.h"

/* ---------------------------------------------------------------- tempo and timer */

const char gszCannotOpenIn[] = "cannot open MIDI IN";
Shared<HWND> ghRunWindow;
UINT guTimerRes = 5;                 /* ms; chosen by TambroFirstFile before the clock runs */
static Shared<UINT> uTimerID(0);            /* pending one-shot event, 0 = none; timer thread arms */
static Shared<int> gbHalfStep(0);           /* 1 = the next event is a half event; timer thread */

/* The run's chain of events, in chain ms: since its first event was armed. Each event is
** due a whole number of ms after the one that armed it, which the timer keeps to. */
static Shared<int64_t> gChainDue(0);        /* the event running now; timer thread */
static Shared<int64_t> gArmedDue(0);        /* the event armed last */
static Shared<int64_t> gStepDue(0);         /* the next half or step event (a run that does
                                            ** not follow a clock) */
static Shared<DWORD> gChainStart(0);        /* timeGetTime ms of chain time 0 */
static int gRestarting;                     /* window thread: a start is stopping the run before */
#define MAX_EVENTS_AT_ONCE 8                /* half and step events one chain event may run */

/* ---------------------------------------------------------------- position and run state */

Shared<int32_t> gIndex;
Shared<int> gbSequenceGoing;
Shared<int> gbLooping;
Shared<int> gbStopAtEnd;
Shared<int> gbFirstBeat;
Shared<int> gbMidiUndo;
Shared<int> gbSequenceOpened;
Shared<int> gbNeedReload;

/* ---------------------------------------------------------------- note output */

Shared<HMIDIOUT> ghMidiOut;
Shared<HMIDIIN> ghMidiIn;
Shared<int> gbMidiInOpen;
Shared<int8_t> gNotePending[64];
Shared<uint32_t> gdwPercLLast;
Shared<uint32_t> gdwPercHLast;

/* ---------------------------------------------------------------- run guard (this file) */

static std::atomic<DWORD_PTR> gRunGen{1};  /* generation of the run now armed; bumped by every
                                           ** start and stop, never reset */
static std::atomic<DWORD_PTR> gEndPostGen{0}; /* generation whose clock posted 1027/1028; 0 none */

/* The generation whose callback is executing now, 0 when none (the timer runs one callback
** at a time), with the marks below. Timer thread sets and clears it; a stop may mark it. */
static std::atomic<DWORD_PTR> gCallbackGen{0};
static const DWORD_PTR kClaimed = (DWORD_PTR)1 << (sizeof(DWORD_PTR) * 8 - 1);   /* CallbackClaim */
static const DWORD_PTR kAbandoned = (DWORD_PTR)1 << (sizeof(DWORD_PTR) * 8 - 2); /* the stop gave up */
#define STOP_WAIT_MS 500   /* longest wait of a stop for a callback that is held up */

/* What an abandoned run leaves to its callback to close: written by the stop just before
** it marks the callback abandoned, read by that callback once it sees the mark. */
static HMIDIOUT gAbandonedOut;
static HMIDIIN gAbandonedIn;               /* NULL when the run had no input open */
static int gAbandonedPercCh, gAbandonedVoiceCh;
static int gAbandonedClock;                /* the run sent the clock: it ends with Stop */

static thread_local int tInCallback = 0;      /* this thread is inside TambroTimerFunc */
static thread_local DWORD_PTR tCallbackGen = 0; /* ... for this generation */
static thread_local int tClaims = 0;          /* CallbackClaim nesting of this callback */

/* Notes the output has been told to start and not yet to end: bit n % 32 of word n / 32 of
** a channel. Kept by every sender (step clock, start, stop, MIDI-in echo) for the stop,
** which ends each of them by its own note off: some devices ignore All Notes Off. */
static Shared<uint32_t> gdwSounding[16][4];

void PlaybackReset(void) {
  ghRunWindow = nullptr;
  guTimerRes = 5;
  uTimerID = 0;
  gIndex = 0;
  for (Shared<int>* flag : {&gbHalfStep, &gbSequenceGoing, &gbLooping, &gbStopAtEnd, &gbFirstBeat,
                            &gbMidiUndo, &gbSequenceOpened, &gbNeedReload})
    *flag = 0;
  ghMidiOut = nullptr;
  ghMidiIn = nullptr;
  gbMidiInOpen = 0;
  for (auto& n : gNotePending) n = 0;
  gdwPercLLast = 0;
  gdwPercHLast = 0;
  gEndPostGen = 0;
  for (auto& channel : gdwSounding)
    for (auto& word : channel) word = 0;
  ++gRunGen;  /* whatever a previous platform left pending can never match again */
  MuteReset();
  MidiInReset();
  SyncReset();
}

/* ---------------------------------------------------------------- messages and tempo */

/* status | channel | data1 << 8 | data2 << 16. Each field is masked to its width: a data
** byte keeps bit 7 clear (a set bit would make the device read it as a new status), and
** nothing spills into the neighbouring byte. */
void MidiOutMessage(HMIDIOUT hMidi, int status, int channel, int data1, int data2) {
  DWORD msg = (DWORD)((status & 0xF0) | (channel & 0x0F)) | ((DWORD)(data1 & 0x7F) << 8) |
              ((DWORD)(data2 & 0x7F) << 16);
  NoteTrack(msg);
  midiOutShortMsg(hMidi, msg);
}

/* A note on with velocity 0 is a note off. All Notes Off is not counted as ending anything:
** the stop sends it and still owes each note its own note off. */
void NoteTrack(DWORD msg) {
  const int kind = msg & 0xF0, channel = msg & 0x0F, note = (msg >> 8) & 0x7F;
  if (kind != MIDI_NOTE_OFF && kind != MIDI_NOTE_ON) return;
  Shared<uint32_t>& word = gdwSounding[channel][note >> 5];
  const uint32_t bit = 1u << (note & 31);
  if (kind == MIDI_NOTE_ON && ((msg >> 16) & 0x7F) != 0) word |= bit;
  else word &= ~bit;
}

/* Note off for every note still sounding: the percussion channel, the instrument channel,
** then any other, each ascending. */
static void ReleaseSounding(HMIDIOUT out, int percCh, int voiceCh) {
  int order[16] = {percCh & 0x0F, voiceCh & 0x0F};
  int n = order[0] == order[1] ? 1 : 2;
  for (int ch = 0; ch < 16; ++ch)
    if (ch != order[0] && ch != order[1]) order[n++] = ch;
  for (int i = 0; i < n; ++i)
    for (int note = 0; note < 128; ++note)
      if (gdwSounding[order[i]][note >> 5] & (1u << (note & 31))) MidiOutMessage(out, MIDI_NOTE_OFF, order[i], note, 0);
}

/* ---------------------------------------------------------------- arming */

/* A half or step delay, raised to the resolution. */
static int Raised(int delay) { return delay < (int)guTimerRes ? (int)guTimerRes : delay; }

/* Arms the next one-shot event of the run `gen`, due at chain time `due` (after the event
** running now). Returns 1 when armed, 0 when timeSetEvent failed, -1 when the run has been
** stopped meanwhile (nothing is armed then, and nothing has failed). */
static int ArmAt(int64_t due, DWORD_PTR gen) {
  if (gRunGen.load() != gen) return -1;
  gArmedDue = due;
  int64_t delay = due - gChainDue;
  /* A timer that counts a delay from the moment of arming adds each event's lateness to the
  ** chain; the events a clock adds would add up to a drift, so those runs arm by the time
  ** that has really passed. */
  if (!TbxTimerAnchored() && (ClockOutOn() || TimingFollows())) {
    const int64_t passed = (int32_t)(timeGetTime() - gChainStart);
    delay = std::max<int64_t>(1, due - std::max<int64_t>(passed, gChainDue));
  }
  UINT id = timeSetEvent((UINT)delay, guTimerRes, TambroTimerFunc, gen, TIME_ONESHOT);
  uTimerID = id;
  return id != 0;
}

/* Posts the end of a run (1027) or a timer failure (1028), remembering which run's clock
** said so: a message that arrives after a newer run was started is stale. */
static void PostRunEnd(UINT message, DWORD_PTR gen) {
  gEndPostGen = gen;
  PostMessageA(ghRunWindow, message, 0, 0);
}

int RunEndIsStale(void) {
  DWORD_PTR g = gEndPostGen.exchange(0);
  return g != 0 && g != gRunGen.load() && gbSequenceGoing;
}

/* ---------------------------------------------------------------- start */

static void CloseDevices(void) {
  if (gbMidiInOpen) {
    midiInStop(ghMidiIn);
    midiInClose(ghMidiIn);
    gbMidiInOpen = 0;
  }
  midiOutClose(ghMidiOut);
}

static UINT ChooseTimerRes(void) {
  TIMECAPS tc;
  UINT res = 5;
  if (timeGetDevCaps(&tc, sizeof tc) == TIMERR_NOERROR) {
    res = std::max<UINT>(tc.wPeriodMin, 5);
    res = std::min<UINT>(res, tc.wPeriodMax);
  }
  return res;
}

int TambroFirstFile(int16_t outPort, int16_t inPort, int mode) {
  /* Mode 0 restarts; a run is never started twice, so the others stop too (they are only
  ** used while stopped). */
  const int wasGoing = gbSequenceGoing;
  gRestarting = 1;
  TambroEndSequence();
  gRestarting = 0;

  HMIDIOUT hOut = nullptr;
  if (midiOutOpen(&hOut, (UINT)(int)outPort, 0, 0, CALLBACK_NULL) != MMSYSERR_NOERROR) {
    SyncRunFailed(wasGoing);
    return 0;
  }
  ghMidiOut = hOut;

  MidiInReset();
  SyncInputTaken(inPort);   /* an input open for a clock's Start is the run's from now on */
  if (giNumDevs != 0 && !gbMidiInOpen) {
    HMIDIIN hIn = nullptr;
    if (midiInOpen(&hIn, (UINT)(int)inPort, (DWORD_PTR)midiCallback, 0,
                   CALLBACK_FUNCTION | MIDI_IO_STATUS) != MMSYSERR_NOERROR) {
      SeamBox(gszCannotOpenIn, gszAppName, MB_OK | MB_ICONEXCLAMATION);
    } else {
      ghMidiIn = hIn;
      ClockInStarted();
      midiInStart(hIn);
      gbMidiInOpen = 1;
    }
  }

  if (mode == 0) SeamCaption(gbEdit ? gszTitleName : gszNextTambroFile);
  MidiOutMessage(ghMidiOut, MIDI_PROGRAM, gVoiceCh, gVoice, 0);

  guTimerRes = ChooseTimerRes();
  timeBeginPeriod(guTimerRes);

  /* The run's state is in place before its first event is armed, so the clock never sees a
  ** half-made start; a failed arm puts the position back. */
  const int32_t oldIndex = gIndex;
  const int oldFirstBeat = gbFirstBeat;
  int start, end;
  PlayRange(&start, &end);
  if (mode == 0) {
    for (int r = 0; r < 48; ++r) gNotePending[r] = 0;
    gIndex = start - 1;
    gbFirstBeat = 1;
  } else if (mode == 1 && gbStopAtEnd) {
    gIndex = start - 1;
  }

  /* The next entry is loaded before the clock runs, so a question or an error box on the
  ** way never has steps of the old entry playing behind it. */
  int result = 1;
  gbSequenceGoing = 1;
  gbListInUse = 1;
  if (mode == 2) result = StartNextEntry();

  const DWORD_PTR gen = ++gRunGen;
  gbHalfStep = 1;
  TimingStart(mode);
  gChainDue = 0;
  gChainStart = timeGetTime();
  /* A run that follows a clock looks at it at once; its first step waits for the clock. */
  gStepDue = TimingFollows() ? 1 : Raised(gHalfBeat);
  if (ArmAt(gStepDue, gen) != 1) {
    ++gRunGen;
    uTimerID = 0;
    timeEndPeriod(guTimerRes);
    CloseDevices();
    gbSequenceGoing = 0;
    gbListInUse = 0;
    gIndex = oldIndex;
    gbFirstBeat = oldFirstBeat;
    SyncRunFailed(wasGoing);
    return 0;
  }
  SyncRunStarted();
  if (!result) return 0;  /* no next entry: the run goes on with the pattern in memory */
  gbStopAtEnd = 0;
  return 1;
}

/* ---------------------------------------------------------------- stop */

/* Input first, so no echo reaches the output after its All Notes Off; then the clock's
** Stop when the run sent the clock, the All Notes Off, a note off for every note still
** sounding (devices that ignore controller 123 exist), time for them to leave, and the
** output. */
static void CloseRunDevices(HMIDIOUT out, HMIDIIN in, int percCh, int voiceCh, int clockStop) {
  if (in) {
    midiInStop(in);
    midiInClose(in);
  }
  if (clockStop) midiOutShortMsg(out, MIDI_STOP);
  MidiOutMessage(out, MIDI_CONTROL, percCh, MIDI_CC_ALL_NOTES_OFF, 0);
  MidiOutMessage(out, MIDI_CONTROL, voiceCh, MIDI_CC_ALL_NOTES_OFF, 0);
  ReleaseSounding(out, percCh, voiceCh);
  Sleep(100);
  midiOutClose(out);
}

/* Waits until no callback of run `gen` executes. The window thread keeps answering messages
** sent to it meanwhile: the callback may be waiting for it (a playlist entry's question or
** error box, the caption); time spent in such a box is the user's and does not count. When
** the callback has been held up for STOP_WAIT_MS otherwise, it is marked abandoned, with
** the run's devices handed to it, and false is returned. */
static bool WaitForCallback(DWORD_PTR gen) {
  typedef std::chrono::steady_clock Clock;
  const Clock::duration limit = std::chrono::milliseconds(STOP_WAIT_MS);
  Clock::time_point deadline = Clock::now() + limit;
  for (;;) {
    const DWORD_PTR running = gCallbackGen.load();
    if ((running & ~kClaimed) != gen) return true;
    if (running == gen && Clock::now() >= deadline) {
      gAbandonedOut = ghMidiOut;
      gAbandonedIn = gbMidiInOpen ? ghMidiIn.load() : nullptr;
      gAbandonedPercCh = gPercCh;
      gAbandonedVoiceCh = gVoiceCh;
      gAbandonedClock = ClockOutBegun();
      DWORD_PTR expected = gen;
      if (gCallbackGen.compare_exchange_strong(expected, gen | kAbandoned)) return false;
      continue; /* it returned or claimed the run just now */
    }
    const Clock::time_point before = Clock::now();
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);
    if (Clock::now() - before > limit / 4) deadline = Clock::now() + limit; /* a box was up */
    Sleep(1);
  }
}

void TambroEndSequence(void) {
  if (!gbSequenceGoing) return;
  const DWORD_PTR gen = gRunGen.fetch_add(1); /* from here on no event of the run does anything */
  if (!tInCallback) {
    if (!WaitForCallback(gen)) {
      /* Abandoned: the callback closes the devices when it returns; nothing is armed (the
      ** event it runs for was taken out, and it arms no other with a stale generation). */
      uTimerID = 0;
      timeEndPeriod(guTimerRes);
      gbMidiInOpen = 0;
      gbSequenceGoing = 0;
      gbListInUse = 0;
      SyncRunEnded(gRestarting);
      return;
    }
    if (!gbSequenceGoing) return;  /* the callback stopped the run itself (loop end) */
  }
  /* A kill waits for a callback running on the timer thread; never for an abandoned one,
  ** which may be held up for good (the event it would kill does nothing anyway). */
  UINT id = uTimerID.exchange(0);
  if (id && !(gCallbackGen.load() & kAbandoned)) timeKillEvent(id);
  timeEndPeriod(guTimerRes);
  CloseRunDevices(ghMidiOut, gbMidiInOpen ? ghMidiIn.load() : nullptr, gPercCh, gVoiceCh, ClockOutBegun());
  gbMidiInOpen = 0;
  gbSequenceGoing = 0;
  gbListInUse = 0;
  SyncRunEnded(tInCallback ? 0 : gRestarting);
}

int CallbackClaim(void) {
  if (!tInCallback) return 1;
  if (tClaims > 0) {
    ++tClaims;
    return 1;
  }
  DWORD_PTR expected = tCallbackGen;
  if (!gCallbackGen.compare_exchange_strong(expected, tCallbackGen | kClaimed)) return 0;
  tClaims = 1;
  return 1;
}

void CallbackRelease(void) {
  if (tInCallback && tClaims > 0 && --tClaims == 0) gCallbackGen = tCallbackGen;
}

/* The callback of run `gen` returns; an abandoned run's devices are closed here. */
static void LeaveCallback(DWORD_PTR gen) {
  DWORD_PTR expected = gen;
  if (gCallbackGen.compare_exchange_strong(expected, 0)) return;
  if (expected & kAbandoned)
    CloseRunDevices(gAbandonedOut, gAbandonedIn, gAbandonedPercCh, gAbandonedVoiceCh, gAbandonedClock);
  gCallbackGen = 0;
}

/* ---------------------------------------------------------------- the step event */

/* The run's notes still sounding (window thread clears them while stopped). */
static const NoteBook gPlayBook = {gdwPercLLast, gdwPercHLast, gNotePending};

/* Notes of the step walk go out at once: a note's end as a note off. */
static void SendNote(void*, bool perc, bool on, int note, int velocity) {
  MidiOutMessage(ghMidiOut, on ? MIDI_NOTE_ON : MIDI_NOTE_OFF, perc ? gPercCh : gVoiceCh, note,
                 on ? velocity : 0);
}

/* Sends the notes of step idx with percussion velocity p and instrument velocity v. The
** base note is the one in force now, after a playlist switch in the same event, so the
** first step of an entry sounds as every later pass and as the export. A pitch beyond
** 0..127 (a base note from a file's odd transposition) is no MIDI note and is not sent. */
static void PlayStep(int idx, int p, int v) {
  StepVoicing voicing;
  voicing.percVelocity = p;
  voicing.voiceVelocity = v;
  voicing.noteOffset = gNoteOffset;
  voicing.perc = voicing.voice = true;
  voicing.wrapPitch = false;
  StepNotes(idx, voicing, gPlayBook, SendNote, nullptr);
}

/* The step event; false when it ended the run (nothing more is armed). */
static bool StepEvent(DWORD_PTR gen) {
  int idx = gIndex;
  if (idx >= 0 && idx < STEP_COUNT) EndPercussion(gPlayBook, SendNote, nullptr);
  ++idx;

  int start, end;
  PlayRange(&start, &end);
  if (idx == end && gbStopAtEnd) {
    gIndex = start;
    TambroEndSequence();
    return false;
  }

  bool wrap = false;
  idx %= end;
  if (idx == 0) {
    idx = start;
    wrap = true;
  } else {
    gbFirstBeat = 0;
    gbFirstFile = 0;
  }
  gIndex = idx;
  PostMessageA(ghRunWindow, WM_TBX_PLAYPOS, (WPARAM)idx, 0);

  if (wrap && !gbFirstBeat && !gbLooping) {
    if (!TambroNextFile()) {
      PostRunEnd(WM_TBX_SEQEND, gen);
      return false;
    }
    idx = gIndex;
  }

  int p = gVelocity;
  const int beats = gBeatsPBar;
  if (beats > 0 && idx % beats == 0) {  /* no bar starts at all for a damaged 0 */
    MuteBarStart();
    p = gVelocity + 10 * gAccent;
  }
  if (StepGet(gTbro.PercL, idx) & 2u) p = gVelocity + 10 * gFreeAccent - 70;
  int v = p + gDeltaVoiceLevel;
  if (!gbEdit) v += gXDVoiceLevel;
  if (gbMute) {
    if (gbPercMute) p = 0;
    if (gbInstrMute) v = 0;
  }
  p = Clamp127(p);
  v = Clamp127(v);

  ClockOutStep(gChainDue);   /* the step's clock goes out before its notes */
  SyncStepTempo();
  if (idx < STEP_COUNT) PlayStep(idx, p, v);
  gbHalfStep = 1;
  return true;
}

static void HalfEvent(void) {
  MidiInDrain();
  gbHalfStep = 0;
}

/* When the pending half or step event is due, in chain ms; a run that follows a clock may
** not know yet (*ready = 0: the time to look again). */
static int64_t PendingDue(int* ready) {
  if (TimingFollows()) return FollowPendingDue(gChainDue, ready);
  *ready = 1;
  return gStepDue;
}

/* The end of the step now playing as its length makes it now (ms). */
static int64_t StepEnd(void) {
  return gbHalfStep ? gStepDue + Raised(gAdjustedBeat - gHalfBeat) : gStepDue.load();
}

/* One event of the chain: the half or step events that are due (a run that follows a
** clock may find both due at once, or a few after a late delivery), the clocks due, and the
** next event armed at whichever comes first. */
static void ChainEvent(DWORD_PTR gen) {
  gChainDue = gArmedDue.load();
  if (FollowLetGo()) gStepDue = gChainDue + Raised(gbHalfStep ? gHalfBeat.load() : gAdjustedBeat - gHalfBeat);
  int ready;
  int64_t next = PendingDue(&ready);
  for (int n = 0; ready && next <= gChainDue && n < MAX_EVENTS_AT_ONCE; n++) {
    const int half = gbHalfStep;
    if (half) HalfEvent();
    else if (!StepEvent(gen)) return;
    if (TimingFollows()) FollowScheduled(half);
    else gStepDue = gChainDue + Raised(half ? gAdjustedBeat - gHalfBeat : gHalfBeat.load());
    next = PendingDue(&ready);
  }
  ClockOutDue(gChainDue, StepEnd());
  next = std::min(next, ClockOutNext(gChainDue, StepEnd()));
  if (next <= gChainDue) next = gChainDue + 1;
  if (ArmAt(next, gen) == 0) PostRunEnd(WM_TBX_TIMERFAIL, gen);
}

void CALLBACK TambroTimerFunc(UINT, UINT, DWORD_PTR dwUser, DWORD_PTR, DWORD_PTR) {
  gCallbackGen = dwUser;
  if (dwUser != gRunGen.load() || !gbSequenceGoing) {  /* an event of a stopped run */
    LeaveCallback(dwUser);
    return;
  }
  tInCallback = 1;
  tCallbackGen = dwUser;
  ChainEvent(dwUser);
  tInCallback = 0;
  tClaims = 0;
  LeaveCallback(dwUser);
}
