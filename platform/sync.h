/*
** Tamborix's own calls beyond the Win32 subset: what playing in time with other gear needs
** and Windows' multimedia API does not offer. win32.h includes this file at its end, so the
** program still sees one platform header. On Windows every call is defined here, inline, as
** the nearest thing that system has (no JACK there); on Linux platform/midi defines them.
**
** Time. TbxMidiOutShortMsgAt places a message between two timer events: its due time is the
** ideal time of the timer callback running on the calling thread plus an offset, so a MIDI
** clock whose period is not a whole millisecond still leaves on its exact frame through the
** built-in synth's queue and JACK (the ALSA sequencer and Windows send it at once), and a
** step that follows a clock or a transport sounds on that clock's or beat's own frame.
** TbxTimerAnchored says whether the timer keeps a chain of events on its grid by itself.
** Times in microseconds (TbxTimerDueUs, TbxMidiInTimeUs, TbxTransportAt) are on the timer's
** clock: timeGetTime() x 1000 plus the fraction of its millisecond.
**
** JACK transport. The server's transport is shared by every client of the server the
** program's own client "Tamborix" is on (opened when a call needs it, never a server of its
** own). The watch procedure runs on a thread of the layer, never the window thread, and
** must return at once (post a message). No call waits for the server.
**
** As timebase master the program publishes bar, beat and tick on its own grid: the steps
** of a run tell where they are (TbxTransportBeat), and the frame their notes are written on
** carries that beat. Another program as master is followed by its tempo: TbxTransportAt
** says when the rolling transport has rolled a number of beats since it started.
*/
#ifndef TBX_PLATFORM_SYNC_H
#define TBX_PLATFORM_SYNC_H

/* The transport's state as TbxTransportState reports it. */
#define TBX_TRANSPORT_NONE (-1)     /* no JACK server, or built without JACK */
#define TBX_TRANSPORT_STOPPED 0
#define TBX_TRANSPORT_ROLLING 1     /* rolling, or starting (waiting for slow clients) */

/* Called (state = TBX_TRANSPORT_*) whenever the transport starts or stops rolling, and when
** the tempo another program publishes as timebase master changes (TbxTransportBpm). */
typedef void(CALLBACK* TBXTRANSPORTPROC)(int state);

#ifdef _WIN32

inline BOOL TbxTimerAnchored(void) { return FALSE; }
inline LONGLONG TbxTimerDueUs(void) { return (LONGLONG)timeGetTime() * 1000; }
inline LONGLONG TbxMidiInTimeUs(void) { return (LONGLONG)timeGetTime() * 1000; }
inline MMRESULT TbxMidiOutShortMsgAt(HMIDIOUT hmo, DWORD dwMsg, LONG) { return midiOutShortMsg(hmo, dwMsg); }
inline BOOL TbxTransportSupported(void) { return FALSE; }
inline int TbxTransportState(void) { return TBX_TRANSPORT_NONE; }
inline void TbxTransportPlay(BOOL) {}
inline void TbxTransportWatch(TBXTRANSPORTPROC) {}
inline BOOL TbxTransportMaster(BOOL) { return FALSE; }
inline void TbxTransportTempo(double, double) {}
inline void TbxTransportBeat(double, LONG) {}
inline void TbxTransportRewind(void) {}
inline double TbxTransportBpm(void) { return 0; }
inline BOOL TbxTransportAt(double, LONGLONG*) { return FALSE; }

#else

/* TRUE when an event armed from inside a timer callback is due its delay after that
** callback's own due time, so a chain of events keeps to its grid by itself (this layer);
** FALSE when it is due after the moment of arming (Windows). */
BOOL TbxTimerAnchored(void);
/* The ideal due time of the timer callback running on this thread (now on any other). */
LONGLONG TbxTimerDueUs(void);
/* On the thread of an input callback that MIM_DATA is delivering to: when that message
** reached the input (a JACK port: its frame's time), finer than MIM_DATA's milliseconds.
** Now on any other thread. */
LONGLONG TbxMidiInTimeUs(void);
/* midiOutShortMsg, due `offsetUs` microseconds after the ideal time of the timer callback
** running on this thread (after now on any other thread; negative is earlier). A system
** real-time message (0xF8..0xFF) sent to the built-in synth, which has no use for it, leaves
** on the program's own output port instead. */
MMRESULT TbxMidiOutShortMsgAt(HMIDIOUT hmo, DWORD dwMsg, LONG offsetUs);

/* TRUE when this build can reach a JACK server at all (the menus offer the JACK items). */
BOOL TbxTransportSupported(void);
/* The transport now; a start or stop asked for here counts as done until the server has
** taken it (half a second at most), so a caller never sees its own request undone. */
int TbxTransportState(void);
/* Starts (TRUE) or stops the transport; nothing without a server. */
void TbxTransportPlay(BOOL roll);
/* Installs the watch procedure (NULL: none). */
void TbxTransportWatch(TBXTRANSPORTPROC proc);
/* Makes the program the timebase master (TRUE) or gives that up. FALSE when it cannot be
** (no server; another client is master and will not yield). */
BOOL TbxTransportMaster(BOOL on);
/* What the master publishes: beats per minute and beats per bar. Any thread. */
void TbxTransportTempo(double bpm, double beatsPerBar);
/* The master's grid: the ideal time of the timer callback running on this thread plus
** `offsetUs` (now plus it on any other thread), as it sounds (the output latency later), is
** `beat` beats after 1|1|0; bar and beat run on from there at the tempo published. Until
** the first call they are counted from the transport's frame 0. */
void TbxTransportBeat(double beat, LONG offsetUs);
/* Moves the transport to its frame 0 (a run from the beginning); nothing without a server. */
void TbxTransportRewind(void);
/* The tempo another program publishes as timebase master, BPM; 0 when none does (no master,
** a master without bar and beat, or the program itself). */
double TbxTransportBpm(void);
/* While the transport rolls: when it has rolled `beats` beats since it started, at the tempo
** TbxTransportBpm gives (extrapolated from its last cycle); `beats` 0 is the time of its
** start frame, known without a tempo too. FALSE when it does not roll (also while it waits
** to start), or for beats other than 0 without a tempo. */
BOOL TbxTransportAt(double beats, LONGLONG* atUs);

#endif /* _WIN32 */

#endif /* TBX_PLATFORM_SYNC_H */
