/*
** Tamborix's own calls for running under a session manager, the New Session Manager's
** protocol (NSM, API 1.1: OSC messages over UDP). win32.h includes this file at its end, so
** the program still sees one platform header. Windows has no session manager: there every
** call is defined here, inline, and no session ever begins.
**
** One socket carries everything: the announce, the replies and every notice, because the
** manager tells its clients apart by their return address. The manager's requests arrive on
** a thread of the layer and are handed to the program's watch procedure, which must return
** at once (post a message); the program answers them later, from its window thread, with
** TbxSessionReply or TbxSessionError. SIGTERM, the manager's way of ending a client, is
** handed over the same way as TBX_SESSION_QUIT; should the program not have ended a second
** after it, the layer ends the process itself with exit status 0.
*/
#ifndef TBX_PLATFORM_SESSION_H
#define TBX_PLATFORM_SESSION_H

/* What the watch procedure is told (TBXSESSIONPROC's `request`). */
#define TBX_SESSION_OPEN 1    /* open a project or switch to it: TbxSessionTakeOpen has it */
#define TBX_SESSION_SAVE 2    /* save everything under the project's path */
#define TBX_SESSION_SHOW 3    /* map the window (show_optional_gui) */
#define TBX_SESSION_HIDE 4    /* unmap it (hide_optional_gui) */
#define TBX_SESSION_QUIT 5    /* SIGTERM: end at once, without a question and without saving */

/* The protocol's error codes (TbxSessionError). */
#define TBX_SESSION_ERR_GENERAL (-1)
#define TBX_SESSION_ERR_BAD_PROJECT (-9)
#define TBX_SESSION_ERR_CREATE_FAILED (-10)
#define TBX_SESSION_ERR_SAVE_FAILED (-99)

typedef void(CALLBACK* TBXSESSIONPROC)(int request);

/* A project to open, as the manager names it (TbxSessionTakeOpen). */
typedef struct {
  char path[4096];           /* where the project lives: nothing may be there yet */
  char displayName[256];     /* the name the manager shows for this client */
  char clientId[256];        /* the client's id: the name of its JACK and ALSA clients */
} TBXSESSIONOPEN;

#ifdef _WIN32

inline BOOL TbxSessionBegin(const char*, const char*) { return FALSE; }
inline BOOL TbxSessionTakeOpen(TBXSESSIONOPEN*) { return FALSE; }
inline void TbxSessionListen(TBXSESSIONPROC) {}
inline void TbxSessionReply(const char*, const char*) {}
inline void TbxSessionError(const char*, int, const char*) {}
inline void TbxSessionNotify(const char*) {}
inline void TbxSessionEnd(void) {}
inline void TbxMidiClientName(const char*) {}

#else

/* When NSM_URL is set: announces the program (`appName`, `capabilities` such as
** ":switch:dirty:optional-gui:", the program's argv[0], API 1.1, the pid) to the manager at
** that URL and waits for its answer (5 s at most), then for its first open request (5 s more
** at most), which TbxSessionTakeOpen hands over. TRUE when the manager took the program:
** it is under session management from then on. FALSE without NSM_URL (nothing is done at
** all), and when the URL is no OSC address, the manager refused or did not answer; then one
** line on stderr says so and the program goes on as without a session. Window thread,
** before any MIDI client is opened. */
BOOL TbxSessionBegin(const char* appName, const char* capabilities);
/* Moves the open request that came last into `open`; FALSE when none is waiting. Any thread. */
BOOL TbxSessionTakeOpen(TBXSESSIONOPEN* open);
/* From now on the manager's requests go to `proc`, called on the session's own thread
** (NULL: they are dropped). After TbxSessionBegin returned TRUE. */
void TbxSessionListen(TBXSESSIONPROC proc);
/* Answers a request (`path`: "/nsm/client/open", "/nsm/client/save") as done, with a text
** for the manager's log; or as failed, with one of the codes above and why. Any thread. */
void TbxSessionReply(const char* path, const char* message);
void TbxSessionError(const char* path, int code, const char* message);
/* Sends a notice without arguments: "/nsm/client/is_dirty", "/nsm/client/is_clean",
** "/nsm/client/gui_is_shown", "/nsm/client/gui_is_hidden". Any thread. */
void TbxSessionNotify(const char* path);
/* Leaves the session: the thread ends, the socket closes, SIGTERM is the system's again
** (tests; the program simply ends). */
void TbxSessionEnd(void);

/* The name of the program's own MIDI clients on the ALSA sequencer and on JACK ("Tamborix"
** until set). Set before they are opened, they are opened under it; set while they are
** open, they are closed and opened again under it (JACK cannot rename a client), the
** built-in synth's JACK ports with them, and every connection to them is gone. No device
** may be open meanwhile. Window thread. */
void TbxMidiClientName(const char* name);

#endif /* _WIN32 */

#endif /* TBX_PLATFORM_SESSION_H */
