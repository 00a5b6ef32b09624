/*
** Playback: tempo arithmetic, the two-event step clock, note output, the play commands and
** their run states, the mute cycles, the playlist advance and MIDI input capture.
**
** Threads. The window thread starts and stops runs and changes settings; the timer thread
** runs TambroTimerFunc (and from it TambroNextFile and, at a stop at loop end,
** TambroEndSequence); the MIDI input thread runs midiCallback, which only echoes and
** appends to gMidiInBuf. Everything two of them touch is a Shared<T>.
*/
#ifndef TBX_PLAYBACK_H
#define TBX_PLAYBACK_H

#include <cstdint>

#include "app/config.h"
#include "pattern/pattern.h"
#include "platform/win32.h"

/* ---------------------------------------------------------------- tempo and timer */

extern UINT guTimerRes;                /* timer resolution in ms; chosen by each start (window) */

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
/* The step length for the tempo and rel.Beat now (RecomputeStepLength), and its factor in
** the rel.Beat read-out. Window thread. */
void AdjustBeat(void);
int TambroFirstFile(HWND hwnd, int16_t outPort, int16_t inPort, int mode);
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

LRESULT OnPlayCommand(HWND hwnd, UINT id);   /* 40101..40107 */
LRESULT OnSequenceEnded(HWND hwnd);          /* message 1027 */
LRESULT OnTimerFailed(HWND hwnd);            /* message 1028 */

/* ---------------------------------------------------------------- within playback (and its tests) */

/* The play range the clock uses: LoopStart..LoopEnd-1 of gTbro, with a LoopEnd outside
** 1..STEP_COUNT read as STEP_COUNT and a LoopStart outside the range read as 0. */
void PlayRange(int* start, int* end);
/* Loads the next playlist entry for the start of a run (mode 2, stopped clock) and returns
** 1, or 0 when the list has none or it cannot be read. */
int StartNextEntry(HWND hwnd);
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
