/*
** Playback: tempo arithmetic, the two-event step clock, note output, the play commands and
** their run states, the mute cycles, the playlist advance and MIDI input capture.
**
** Threads. The window thread starts and stops runs and changes settings; the timer thread
** runs TambroTimerFunc (and from it TambroNextFile, the MIDI clock a run sends and, at a
** stop at loop end, TambroEndSequence); the MIDI input thread runs midiCallback, which only
** echoes and appends to gMidiInBuf, and counts the MIDI clock received; the JACK client's
** thread tells the transport's changes. What reaches the window from the last two is a
** posted message. Everything two of them touch is a Shared<T> or an atomic.
*/
#ifndef TBX_PLAYBACK_H
#define TBX_PLAYBACK_H

#include <cstdint>

#include "base/config.h"
#include "pattern/pattern.h"
#include "platform/win32.h"

/* ---------------------------------------------------------------- the window told */

/* Messages a run posts to the window it reports to (lParam 0). */
#define WM_TBX_PLAYPOS (WM_USER + 1)    /* 1025: wParam = step now playing */
#define WM_TBX_SEQEND (WM_USER + 3)     /* 1027: the playlist ran out */
#define WM_TBX_TIMERFAIL (WM_USER + 4)  /* 1028: re-arming the step timer failed */
#define WM_TBX_LOADED (WM_USER + 5)     /* a playlist entry was loaded: take its names
                                        ** (EntryTake), show them and its settings */
#define WM_TBX_RECORDED (WM_USER + 6)   /* a half event recorded notes: a step of the undo history */

/* The window a run reports to: its posted messages, the notices of the clock input and the
** transport, the cells drawn where MIDI input lands, the repaint after a playlist entry.
** Set by the window when it is created (NULL: nothing is told). */
extern Shared<HWND> ghRunWindow;

/* ---------------------------------------------------------------- tempo and timer */

extern UINT guTimerRes;                /* timer resolution in ms; chosen by each start (window) */
extern const char gszCannotOpenIn[];   /* "cannot open MIDI IN": the input device failed */

/* ---------------------------------------------------------------- position and run state */

extern Shared<int32_t> gIndex;         /* step now playing; LoopStart - 1 before the first;
                                       ** timer thread during a run */
extern Shared<int> gbSequenceGoing;    /* a run is active (devices open, timer armed); set by
                                       ** the start, cleared by the stop */
extern Shared<int> gbLooping;          /* 1 repeat the pattern, 0 advance the list; window */
extern Shared<int> gbStopAtEnd;        /* stop when the index reaches LoopEnd; window */
extern Shared<int> gbFirstBeat;        /* a wrap does not end the pattern yet; both threads */
extern Shared<int> gbMidiUndo;         /* MIDI input toggles instead of sets; window */
extern Shared<int> gbSequenceOpened;   /* a playlist has been opened; window */
extern Shared<int> gbNeedReload;       /* Play All re-reads the list; window */

/* ---------------------------------------------------------------- note output */

extern Shared<HMIDIIN> ghMidiIn;       /* open input while a run is active (or while stopped,
                                       ** listening for a clock's Start) */
extern Shared<HMIDIOUT> ghMidiOut;     /* open output while a run is active; written by the
                                       ** start before the clock and input run */
extern Shared<int> gbMidiInOpen;       /* the input is open and started */
extern Shared<int8_t> gNotePending[64];/* note sounding on each instrument row, 0 = none;
                                       ** timer thread */
extern Shared<uint32_t> gdwPercLLast;  /* PercL/PercH of the step played last; timer thread */
extern Shared<uint32_t> gdwPercHLast;

/* ---------------------------------------------------------------- mute and sound patterns */

/* Written together by SetMuteMode (window) and a bar start (timer thread), each under the
** mute flag of commands.cpp. */
extern Shared<int16_t> gSoundCount;          /* bar starts left in this phase */
extern Shared<int> gbMute;                   /* the current phase is silent */
extern Shared<int16_t> gbPercMute, gbInstrMute; /* a silent phase silences the part */

/* ---------------------------------------------------------------- MIDI input hand-over */

extern Shared<int32_t> gMidiInFill;          /* notes waiting in the hand-over buffer: the
                                             ** MIDI thread adds, the timer subtracts */

/* ---------------------------------------------------------------- operations */

void PlaybackReset(void);
void MidiOutMessage(HMIDIOUT hMidi, int status, int channel, int data1, int data2);
/* Notes that a message sent to the output (any thread) starts or ends a note: the stop of
** the run sends a note off for every note still sounding. MidiOutMessage does it. */
void NoteTrack(DWORD msg);
/* ms a step of the run's own clock lasts: its two halves, each raised to the resolution. */
int StepMs(void);
/* Starts a run on the output and input ports in `mode`: 0 from LoopStart, 1 after the step
** played last, 2 with the next playlist entry. 1 when it was started. Its box (the input
** failed) and its caption go through the window seam. Window thread. */
int TambroFirstFile(int16_t outPort, int16_t inPort, int mode);
void TambroEndSequence(void);
void CALLBACK TambroTimerFunc(UINT uID, UINT uMsg, DWORD_PTR dwUser, DWORD_PTR dw1, DWORD_PTR dw2);
int TambroNextFile(void);
/* A timer callback that has waited on something slow (a file) claims the run before it
** changes shared state with the result: 0 when a stop gave up waiting for the callback
** meanwhile and abandoned its run (the result is dropped, nothing is changed), 1 when the
** run is still its own, which the stop then waits for until CallbackRelease. Claims nest.
** On any other thread both do nothing and CallbackClaim returns 1. */
int CallbackClaim(void);
void CallbackRelease(void);
void SetMuteMode(void);
void CALLBACK midiCallback(HMIDIIN hMidiIn, UINT wMsg, DWORD_PTR dwInstance, DWORD_PTR dwParam1,
                           DWORD_PTR dwParam2);


/* ---------------------------------------------------------------- synchronisation */

/* The items of the sync menus (command IDM_SYNC + flag), each off at reset and kept in the
** settings file by the window (app/desktop.cpp): send the MIDI clock, follow the MIDI clock,
** start and stop with the JACK transport (and follow it), be the JACK timebase master (with
** the transport item). */
enum { SYNC_SEND_CLOCK, SYNC_FOLLOW_CLOCK, SYNC_JACK_TRANSPORT, SYNC_JACK_MASTER, SYNC_FLAGS };
/* What the clock input and the transport watch post to the window: WM_COMMAND with
** IDM_SYNC_NOTICE + the notice (lParam: the tempo in BPM for SYNC_NOTICE_TEMPO, else 0). */
enum {
  SYNC_NOTICE_START,       /* a clock's Start: Loop File, or Play All in playlist mode */
  SYNC_NOTICE_CONTINUE,    /* its Continue */
  SYNC_NOTICE_STOP,        /* its Stop */
  SYNC_NOTICE_TEMPO,       /* the clock's tempo moved: show it */
  SYNC_NOTICE_TRANSPORT,   /* the JACK transport started or stopped rolling */
  SYNC_NOTICE_LISTEN,      /* a run closed the input: open it again to hear a Start */
  SYNC_NOTICE_WAIT,        /* a run began or ended waiting for its clock or transport */
  SYNC_NOTICES
};
/* What a run waits for (SyncWaiting). */
enum { SYNC_WAIT_NONE, SYNC_WAIT_CLOCK, SYNC_WAIT_TRANSPORT };

/* The state of a sync item (0 or 1); any thread. Runs take the clock items at their start. */
int SyncGet(int flag);
/* Stores the state of a sync item; what it implies is its chooser's (the window's
** SyncChoose, or a run's start that reads it). */
void SyncSet(int flag, int on);
/* SYNC_WAIT_*: the run's clock or transport has stayed away for a while (not yet come, or
** paused), so the run waits. Any thread. */
int SyncWaiting(void);
/* Opens the chosen input while no run plays and the clock is followed, closes it when it is
** not (or listens on another device than the one chosen). 0 when it should be open and is
** not. Window thread. */
int SyncListen(void);
/* The transport's watch and timebase master as the items say. Window thread. */
void SyncApplyTransport(void);
/* The clock the next following run starts at (a Start's or Continue's count); -1 the next
** clock. Window thread. */
void SyncFollowFrom(int64_t base);

/* ---------------------------------------------------------------- within playback (and its tests) */

/* The sync items off, the clock input forgotten, the transport left alone (PlaybackReset). */
void SyncReset(void);
/* A start: the run takes over an input opened for a clock's Start on its port `inPort`
** (before the run opens its input); it has started (the transport rolls); it failed after
** stopping the run before (`wasGoing`) or not. Window thread. */
void SyncInputTaken(int16_t inPort);
/* A run of `mode` (TambroFirstFile) has started; its first step sounds `firstStepMs` from now
** (-1: when its clock or transport says). */
void SyncRunStarted(int mode, int firstStepMs);
void SyncRunFailed(int wasGoing);
/* A run has ended (any thread): the transport stops unless a start is `restarting` it, and
** an input to hear a Start is asked for again when following. */
void SyncRunEnded(int restarting);
/* 1 while the open input only waits for a clock's Start (no run): notes are not taken. */
int SyncListening(void);
/* The step event, as master of the JACK transport, publishes its tempo and that the step
** (sounding `offsetUs` after the event's ideal time) is the next beat of the grid. */
void SyncStepBeat(LONG offsetUs);
/* A run that starts now follows the JACK transport (its item checked, a server there, and
** the program not its master). */
int SyncFollowsTransport(void);
/* The run waits (SYNC_WAIT_*) or no longer (0); the window is told of a change. Any thread. */
void SyncWait(int what);
/* The clock a run that follows starts at: the one a Start or Continue named, or the next. */
uint32_t SyncTakeFollowBase(void);

/* The MIDI clock (midiclock.cpp). Clock input, MIDI input thread: */
/* A system real-time byte from the input (midiCallback) that reached it at `atUs` (timer us,
** TbxMidiInTimeUs). */
void ClockInMessage(int status, int64_t atUs);
void ClockInReset(void);           /* nothing counted (reset) */
void ClockInShowAgain(void);       /* the next tempo reading is posted (following starts) */
uint32_t ClockInCount(void);       /* clocks counted: the index of the next */
uint32_t ClockInStartAt(void);     /* ... at the last Start or Continue */
/* The run's timing, on chain ms (see clock.cpp). TimingStart: window thread, before the
** first event of a run of `mode`; the rest: timer thread, from the run's events. */
void TimingStart(int mode);
void TimingEvent(int64_t now);     /* an event of the chain runs, due at chain ms `now` */
int TimingFollows(void);           /* the run follows the clock or the transport */
/* 1 once when the run follows and its item has been unchecked: from now on it does not. */
int FollowLetGo(void);
/* 1 once when the run does not follow and its item has been checked: its pending step
** event falls on the next clock, and the run follows from there. Call only while the
** pending event is a step event. */
int FollowTakeUp(void);
int ClockOutOn(void);              /* the run sends the clock */
int ClockOutBegun(void);           /* the run has sent Start or Continue: it ends with Stop */
/* A following run's pending half or step event: due at the time returned (*ready = 1), or
** its clock has not come: look again then (*ready = 0). */
int64_t FollowPendingDue(int64_t now, int* ready);
/* us from the ideal time of the event running at `now` to the pending event's own time (a
** following run's: its clock's arrival, its beat of the transport); 0 otherwise. */
LONG FollowOffsetUs(int64_t now);
void FollowScheduled(int wasHalf);               /* after a half (1) or step (0) event */
/* Chain us of the end of the step now playing as the transport followed gives it; -1 when
** the run does not follow the transport. */
int64_t FollowStepEndUs(void);
/* The step event at `now`, its step at chain us `stepUs`, before its notes. */
void ClockOutStep(int64_t now, int64_t stepUs);
void ClockOutDue(int64_t now, int64_t stepEndUs);/* every event: the clocks due by now */
int64_t ClockOutNext(int64_t now, int64_t stepEndUs); /* the next clock's event; INT64_MAX none */

/* Loads the next playlist entry for the start of a run (mode 2, stopped clock) and returns
** 1, or 0 when the list has none or it cannot be read. */
int StartNextEntry(void);
/* 1 when the 1027/1028 now handled was posted by a run that has since been replaced by a
** newer one (it must not stop that one). Consumes the record of the post. */
int RunEndIsStale(void);
void MuteReset(void);       /* the mute globals to their start values */
void MuteBarStart(void);    /* count one bar start of the sound pattern (timer thread) */
void MidiInReset(void);     /* empty the hand-over buffer (no input open) */
void MidiInDrain(void);     /* land the collected notes in the pattern (half event) */
/* Takes every entry the buffer holds, newest first, into out (128 entries at least);
** returns how many. The consumer side of the hand-over (timer thread). */
int MidiInTake(uint8_t* out);
/* The step the half event lands input on: gIndex mod the play range's end, or LoopStart
** while gIndex is still below 0 (input before the first step of a run from step 0). */
int MidiInTargetStep(void);

#endif
