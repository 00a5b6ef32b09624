/*
** Tamborix's own calls beyond the Win32 subset: what playing in time with other gear needs
** and Windows' multimedia API does not offer. win32.h includes this file at its end, so the
** program still sees one platform header. On Windows every call is defined here, inline, as
** the nearest thing that system has (no JACK there); on Linux platform/midi defines them.
**
** Time. TbxMidiOutShortMsgAt places a message between two timer events: its due time is the
** ideal time of the timer callback running on the calling thread plus an offset, so a MIDI
** clock whose period is not a whole millisecond still leaves on its exact frame through the
** built-in synth's queue and JACK (the ALSA sequencer and Windows send it at once).
** TbxTimerAnchored says whether the timer keeps a chain of events on its grid by itself.
**
** JACK transport. The server's transport is shared by every client of the server the
** program's own client "Tamborix" is on (opened when a call needs it, never a server of its
** own). The watch procedure runs on a thread of the layer, never the window thread, and
** must return at once (post a message). No call waits for the server.
*/
#ifndef TBX_PLATFORM_SYNC_H
#define TBX_PLATFORM_SYNC_H

/* The transport's state as TbxTransportState reports it. */
#define TBX_TRANSPORT_NONE (-1)     /* no JACK server, or built without JACK */
#define TBX_TRANSPORT_STOPPED 0
#define TBX_TRANSPORT_ROLLING 1     /* rolling, or starting (waiting for slow clients) */

/* Called (state = TBX_TRANSPORT_*) whenever the transport starts or stops rolling. */
typedef void(CALLBACK* TBXTRANSPORTPROC)(int state);

#ifdef _WIN32

inline BOOL TbxTimerAnchored(void) { return FALSE; }
inline MMRESULT TbxMidiOutShortMsgAt(HMIDIOUT hmo, DWORD dwMsg, LONG) { return midiOutShortMsg(hmo, dwMsg); }
inline BOOL TbxTransportSupported(void) { return FALSE; }
inline int TbxTransportState(void) { return TBX_TRANSPORT_NONE; }
inline void TbxTransportPlay(BOOL) {}
inline void TbxTransportWatch(TBXTRANSPORTPROC) {}
inline BOOL TbxTransportMaster(BOOL) { return FALSE; }
inline void TbxTransportTempo(double, double) {}

#else

/* TRUE when an event armed from inside a timer callback is due its delay after that
** callback's own due time, so a chain of events keeps to its grid by itself (this layer);
** FALSE when it is due after the moment of arming (Windows). */
BOOL TbxTimerAnchored(void);
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
/* What the master publishes: beats per minute and beats per bar (bar and beat are counted
** from the transport's frame at that tempo). Any thread. */
void TbxTransportTempo(double bpm, double beatsPerBar);

#endif /* _WIN32 */

#endif /* TBX_PLATFORM_SYNC_H */
